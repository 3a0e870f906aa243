// The display-less program: hosts or joins a session without a window.
#include <string>
#include <vector>

#include "app/commandline.h"
#include "app/console.h"
#include "app/headless.h"
#include "app/lan.h"

int main(int argc, char** argv)
{
    seafold::setConsoleProgram(seafold::Program::Headless);
    // SEAFOLD_LOG=help answers before anything else.
    if (seafold::checkLogChannelSetting())
        return 0;
    seafold::ProgramOptions options;
    int code = seafold::reportParseOutcome(seafold::parseProgramOptions(
        seafold::Program::Headless, std::vector<std::string>(argv + 1, argv + argc), &options));
    if (code >= 0)
        return code;
    if (options.line.find)
        return seafold::runFind(options.line, options.shared);
    return seafold::runHeadless(options);
}
