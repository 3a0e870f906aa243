// The display-less program: hosts or joins a session without a window.
#include "app/commandline.h"
#include "app/headless.h"

int main(int argc, char** argv)
{
    seafold::ProgramOptions options;
    int code = seafold::readProgramOptions(seafold::Program::Headless, argc, argv, &options);
    if (code >= 0)
        return code;
    return seafold::runHeadless(options);
}
