// The msxsl:script blocks of a stylesheet (namespace urn:schemas-microsoft-com:xslt), run by the
// embedded JavaScript engine Duktape in a sandbox: no host objects, a heap drawn from the memory
// budget, bounded recursion and a bound of processor time per transformation. Blocks are
// compiled with the stylesheet; each transformation that calls one of their functions gets one
// fresh global scope per implements-prefix namespace, which ends with the transformation.
#pragma once

#include <cstdint>
#include <memory>

struct _xmlDoc;
struct _xsltTransformContext;

namespace xmlservice {

class CallRecord;

// The processor time the scripts of one transformation may take together.
inline constexpr int kScriptSecondsPerTransformation = 10;

// The script blocks of a compiled stylesheet, by namespace; shared by its processors.
class StylesheetScripts;
using StylesheetScriptsPtr = std::shared_ptr<const StylesheetScripts>;

// While it lives, collects the top-level msxsl:script blocks of the stylesheet modules compiled
// on this thread (CollectFrom), then compiles them (Finish).
class ScriptCollection {
public:
    ScriptCollection() noexcept;
    ~ScriptCollection();
    ScriptCollection(const ScriptCollection&) = delete;
    ScriptCollection& operator=(const ScriptCollection&) = delete;

    // Adds the blocks of `module` to the collection current on this thread, if there is one.
    static void CollectFrom(_xmlDoc* module) noexcept;

    // Compiles the blocks that run: false, with the reasons added to `call`, when one of them
    // does not compile or names no namespace. `scripts` is left null for a stylesheet without
    // blocks.
    bool Finish(CallRecord& call, StylesheetScriptsPtr& scripts) noexcept;

    struct Collected;

private:
    std::unique_ptr<Collected> collected_;
    ScriptCollection* previous_;
};

class ScriptSession;
// Ends the scripts' engine of a transformation, with every object the scripts made.
struct ScriptSessionDeleter {
    void operator()(ScriptSession* session) const noexcept;
};
using ScriptSessionHandle = std::unique_ptr<ScriptSession, ScriptSessionDeleter>;

// Makes the functions of `scripts` callable in the transformation `context`, on this thread,
// while the handle lives; the engine starts at the first call. Null when there is nothing to
// register (no scripts) or no memory for it; `failed` tells the two apart.
ScriptSessionHandle StartScripts(_xsltTransformContext* context, const StylesheetScriptsPtr& scripts,
                                 bool* failed) noexcept;

// Replaces the processor time the scripts of a transformation may take; for tests, which must not
// wait the full bound. Zero or less restores kScriptSecondsPerTransformation.
void SetScriptTimeBoundForTesting(double seconds) noexcept;

}  // namespace xmlservice
