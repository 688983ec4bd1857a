#pragma once

#include "app/FormDescription.h"

// The program from start to end: the application object, the main window built from
// `description`, the message loop and the teardown. Returns the exit code: 0 once the window was
// closed, 1 after a fatal start-up error.
int RunProgram(int argc, char** argv, const FormDescription& description);
