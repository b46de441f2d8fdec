#include "app/Cli.h"
#include "app/gui/Desktop.h"

int main(int argc, char** argv)
{
    g_pGuiCliCommands = DesktopCliCommands();
    return MidwireMain(argc, argv, RunDesktop);
}
