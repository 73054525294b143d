// nbundo: a finished conversion undone exactly (driver/undo.h).
#include "driver/undo.h"

int main(int argc, char** argv) { return NbUndoMain(argc, argv); }
