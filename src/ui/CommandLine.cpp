#include "ui/CommandLine.h"

#include "session/CommandLine.h"

#include <cstdio>
#include <string>
#include <vector>

namespace dovo {

std::optional<int> HandleCommandLine(int argc, char** argv)
{
    // QApplication's own options (-platform, -display, -style...) are
    // refused like any other, before QApplication can take them: they all
    // have environment variables (QT_QPA_PLATFORM, DISPLAY,
    // QT_STYLE_OVERRIDE) for whoever needs them, and everything Dovo accepts
    // is in its --help.
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto answer = AnswerCommandLine(arguments, DOVO_VERSION);
    if (!answer) {
        return std::nullopt;
    }
    std::FILE* stream = answer->stream == CommandLineAnswer::Stream::Error ? stderr : stdout;
    std::fputs(answer->text.c_str(), stream);
    std::fflush(stream);
    return answer->status;
}

} // namespace dovo
