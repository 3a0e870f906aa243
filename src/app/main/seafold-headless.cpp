// The display-less program: hosts or joins a session without a window.
#include <cstdio>
#include <string>
#include <vector>

#include "app/headless.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    seafold::HeadlessOptions options;
    std::string error;
    if (!seafold::parseHeadlessOptions(args, &options, &error)) {
        std::fprintf(stderr, "seafold-headless: %s\n%s\n", error.c_str(), seafold::kHeadlessUsage);
        return 2;
    }
    return seafold::runHeadless(options);
}
