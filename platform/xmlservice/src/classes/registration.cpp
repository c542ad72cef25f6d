#include "classes/class_factory.h"
#include "xmlservice/msxml.h"

namespace xmlservice {

bool RegisterClasses() noexcept {
    static const bool registered = com::RegisterBuiltInClass(CLSID_DOMDocument, CreateDocument) &&
                                   com::RegisterBuiltInClass(CLSID_FreeThreadedDOMDocument, CreateDocument) &&
                                   com::RegisterBuiltInClass(CLSID_XSLTemplate, CreateTemplate);
    return registered;
}

}  // namespace xmlservice
