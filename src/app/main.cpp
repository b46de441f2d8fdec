#include "app/Cli.h"

int main(int argc, char** argv)
{
    return MidwireMain(argc, argv, RunDesktop);
}
