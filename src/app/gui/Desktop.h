// The desktop program's entry points.
#pragma once

#include "app/Cli.h"

// Subcommands that need the window system (run headless on the offscreen
// platform), ending with a null entry.
const CliGuiCommand* DesktopCliCommands();
