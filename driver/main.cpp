#include "deliverable.h"

// Arguments are ignored: everything the run needs is built in.
int main() { return RunTest(kDeliverable); }
