// The fixture of tests that hold the service's transformations against libxslt alone: the same
// stylesheet file and input file through both, byte for byte.
#pragma once

#include "service_test.h"

#include <string>

class ReferenceTest : public ServiceTest {
protected:
    // What libxslt alone makes of the stylesheet file applied to the input file, with its own
    // functions and its own loader for modules; the bytes as xsltSaveResultToString writes them,
    // or "<libxslt failed>". Its messages are left in lastLibxsltMessages_.
    std::string LibxsltBytes(const std::string& stylesheet, const std::string& input);

    // Runs the stylesheet file through the service and through libxslt and expects the same
    // bytes, which must hold `mustHold` so that the comparison compares something real.
    void ExpectLibxsltBytes(const std::string& stylesheet, const std::string& input, const std::string& mustHold);

    // ExpectLibxsltBytes for a result that shows ids of generate-id(). The service numbers nodes
    // in the order their ids are first asked for, as libxslt does from 1.1.36 on (and Debian's
    // 1.1.35); libxslt 1.1.35 as released makes ids of node addresses, and there the result only
    // has to hold `mustHold`.
    void ExpectLibxsltBytesWithIds(const std::string& stylesheet, const std::string& input,
                                   const std::string& mustHold);

    std::string lastLibxsltMessages_;
};

// A text output declaration, for stylesheets whose result is checked as plain text.
inline const std::string kTextOutput = "<xsl:output method=\"text\"/>";

// An XSLT 1.0 stylesheet of `body`, with `namespaces` declared on its root.
std::string Stylesheet(const std::string& body, const std::string& namespaces = {});
