// The program with its timing scaled down as the in-process tests scale it, for tests that run
// the headless face as a child process. The product itself has no switch that could loosen the
// portal's politeness rules.
#include "app/ProgramMain.h"
#include "support/TestSupport.h"

int main(int argc, char** argv) {
    SetTiming(ScopedTiming::Scaled(20));
    return ProgramMain(argc, argv);
}
