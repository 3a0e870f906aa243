// The display-less program: hosts or joins a session without a window.
#include <string>
#include <vector>

#include "app/commandline.h"
#include "app/headless.h"

int main(int argc, char** argv)
{
    seafold::ProgramOptions options;
    int code = seafold::reportParseOutcome(seafold::parseProgramOptions(
        seafold::Program::Headless, std::vector<std::string>(argv + 1, argv + argc), &options));
    if (code >= 0)
        return code;
    return seafold::runHeadless(options);
}
