// Resolves a function the stand-in wfapi.dll lacks: the program must show
// the box captioned with the function's name and end with code -1.
#include "api_sets_win.h"

int main()
{
    g_WfApiLibrary.Resolve("WFNoSuchFunction");
    return 0;
}
