#include "engine/library_setup.h"

#include "engine/access_policy.h"
#include "engine/budget.h"
#include "engine/call_record.h"
#include "xslt/collation.h"

#include <libexslt/exslt.h>
#include <libxml/parser.h>
#include <libxslt/extensions.h>
#include <libxslt/extra.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltutils.h>
#include <unicode/uclean.h>

#include <cstdlib>

namespace xmlservice {
namespace {

// What the libraries set up lasts as long as the process; it is given back at its end, so
// that a leak checker finds nothing left.
void ReleaseLibraries() {
    xsltCleanupGlobals();
    xmlCleanupParser();
    // The collations that sorts opened stay in ICU's cache until here.
    u_cleanup();
    ReleaseCollators();
}

}  // namespace

void PrepareLibraries() noexcept {
    static const bool prepared = [] {
        // Before the libraries' first allocation, so that all of them are counted.
        InstallBudget(ExceedBudgetOfCurrentCall);
        xmlInitParser();
        // What the set-up reports goes nowhere, and the thread keeps its own handlers after it.
        const CallRecord preparing;
        xsltInit();
        RouteLibxsltMessages();
        // libxslt traces every step to its debug handler unless told not to; nothing reads it.
        xsltDebugSetDefaultTrace(XSLT_TRACE_NONE);
        // libxslt numbers the elements of a source tree in document order, in one more pass over
        // the whole tree, whenever it makes a transformation's context, unless its debugger is
        // on. The service's parser numbers them as it builds the tree (parsing.cpp), and any
        // other tree is numbered before its transformation (processor.cpp); with no debugger
        // callbacks registered, the debugger's status changes nothing else in libxslt, and each
        // transformation's own copy of it is set back to off. The status is libxslt's public
        // variable: its setter exists only in builds with the debugger, which 1.1.45 leaves out
        // by default, while the variable and the check before the pass exist in every build.
        xslDebugStatus = XSLT_DEBUG_RUN;
        InstallAccessPolicy();
        exsltRegisterAll();
        xsltRegisterExtModuleFunction(BAD_CAST "node-set", BAD_CAST "urn:schemas-microsoft-com:xslt",
                                      xsltFunctionNodeSet);
        std::atexit(ReleaseLibraries);
        return true;
    }();
    (void)prepared;
}

void SetBudgetBaseForTesting(std::uint64_t base) noexcept {
    // Setting the libraries up must never meet a test's small budget.
    PrepareLibraries();
    SetBudgetBase(base);
}

}  // namespace xmlservice
