#include "session/CommandLine.h"

#include <algorithm>
#include <array>

namespace dovo {

namespace {

constexpr int UsageStatus = 2;

enum class Action
{
    Help,
    Version
};

struct Option
{
    std::string_view shortName;
    std::string_view longName;
    std::string_view description;
    Action action;
};

constexpr std::array Options{
    Option{"-h", "--help", "Show this help and exit.", Action::Help},
    Option{"-v", "--version", "Show the version and exit.", Action::Version},
};

std::string HelpText()
{
    std::string text = "Usage: dovo [options]\n"
                       "An odometer for the mouse pointer: counts how far the pointer travels on "
                       "the screen.\n"
                       "Starting it while it runs brings the running copy's window forward.\n"
                       "\n"
                       "Options:\n";
    std::size_t width = 0;
    for (const Option& option : Options) {
        width = std::max(width, option.shortName.size() + 2 + option.longName.size());
    }
    for (const Option& option : Options) {
        std::string names = std::string(option.shortName) + ", " + std::string(option.longName);
        names.resize(width, ' ');
        text += "  " + names + "  " + std::string(option.description) + "\n";
    }
    return text;
}

const Option* Find(std::string_view argument)
{
    const auto found = std::find_if(Options.begin(), Options.end(), [&](const Option& option) {
        return argument == option.shortName || argument == option.longName;
    });
    return found == Options.end() ? nullptr : &*found;
}

CommandLineAnswer Refuse(const std::string& argument)
{
    // A lone "-" is the usual name of standard input, a file name, not an
    // option.
    const bool option = argument.size() > 1 && argument.front() == '-';
    const std::string reason =
        (option ? "Unknown option '" : "Unexpected argument '") + argument + "'.";
    return {"dovo: " + reason + " Try 'dovo --help'.\n", CommandLineAnswer::Stream::Error,
            UsageStatus};
}

} // namespace

std::optional<CommandLineAnswer> AnswerCommandLine(const std::vector<std::string>& arguments,
                                                   std::string_view version)
{
    bool help = false;
    bool showVersion = false;
    for (const std::string& argument : arguments) {
        const Option* option = Find(argument);
        if (option == nullptr) {
            return Refuse(argument);
        }
        help = help || option->action == Action::Help;
        showVersion = showVersion || option->action == Action::Version;
    }
    if (help) {
        return CommandLineAnswer{HelpText()};
    }
    if (showVersion) {
        return CommandLineAnswer{"dovo " + std::string(version) + "\n"};
    }
    return std::nullopt;
}

} // namespace dovo
