// The object that serves one transformation for the functions the service registers with it:
// libxslt calls them with no way to pass it, so it is the thread's current one, checked against
// the transformation that calls.
#pragma once

#include <libxslt/xsltInternals.h>

namespace xmlservice {

template <class Derived>
class TransformationLocal {
public:
    TransformationLocal(const TransformationLocal&) = delete;
    TransformationLocal& operator=(const TransformationLocal&) = delete;

    // The object serving the transformation `context` on this thread; null for none.
    static Derived* Of(xsltTransformContextPtr context) noexcept {
        return current_ != nullptr && current_->context_ == context ? current_ : nullptr;
    }

protected:
    // Current on this thread from now until it goes.
    explicit TransformationLocal(xsltTransformContextPtr context) noexcept : context_(context), previous_(current_) {
        current_ = static_cast<Derived*>(this);
    }
    ~TransformationLocal() { current_ = previous_; }

    xsltTransformContextPtr const context_;

private:
    Derived* const previous_;
    static inline thread_local Derived* current_ = nullptr;
};

}  // namespace xmlservice
