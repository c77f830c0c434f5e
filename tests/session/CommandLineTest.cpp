#include "session/CommandLine.h"

#include <gtest/gtest.h>

namespace {

using dovo::AnswerCommandLine;
using Stream = dovo::CommandLineAnswer::Stream;

const std::string Help =
    "Usage: dovo [options]\n"
    "An odometer for the mouse pointer: counts how far the pointer travels on the screen.\n"
    "Starting it while it runs brings the running copy's window forward.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Show this help and exit.\n"
    "  -v, --version  Show the version and exit.\n";

std::string Refusal(const std::string& reason)
{
    return "dovo: " + reason + " Try 'dovo --help'.\n";
}

struct Case
{
    std::vector<std::string> arguments;
    bool starts;
    std::string text;
    Stream stream;
    int status;
};

TEST(CommandLine, AnswersTheSameWayInBothPrograms)
{
    const std::vector<Case> cases = {
        {{}, true, "", Stream::Output, 0},
        {{"--help"}, false, Help, Stream::Output, 0},
        {{"-h"}, false, Help, Stream::Output, 0},
        {{"--version"}, false, "dovo 9.8.7\n", Stream::Output, 0},
        {{"-v"}, false, "dovo 9.8.7\n", Stream::Output, 0},
        {{"--version", "--help"}, false, Help, Stream::Output, 0},
        {{"-h", "-v", "-h"}, false, Help, Stream::Output, 0},
        {{"--bogus"}, false, Refusal("Unknown option '--bogus'."), Stream::Error, 2},
        {{"-platform", "xcb"}, false, Refusal("Unknown option '-platform'."), Stream::Error, 2},
        {{"--help=all"}, false, Refusal("Unknown option '--help=all'."), Stream::Error, 2},
        {{"-hv"}, false, Refusal("Unknown option '-hv'."), Stream::Error, 2},
        {{"--"}, false, Refusal("Unknown option '--'."), Stream::Error, 2},
        {{"notes.txt"}, false, Refusal("Unexpected argument 'notes.txt'."), Stream::Error, 2},
        {{"-"}, false, Refusal("Unexpected argument '-'."), Stream::Error, 2},
        {{"/?"}, false, Refusal("Unexpected argument '/?'."), Stream::Error, 2},
        {{""}, false, Refusal("Unexpected argument ''."), Stream::Error, 2},
        {{"--help", "extra"}, false, Refusal("Unexpected argument 'extra'."), Stream::Error, 2},
        {{"--version", "--bogus", "x"},
         false,
         Refusal("Unknown option '--bogus'."),
         Stream::Error,
         2},
    };
    for (const Case& c : cases) {
        std::string label;
        for (const std::string& argument : c.arguments) {
            label += "[" + argument + "]";
        }
        SCOPED_TRACE(label);
        const auto answer = AnswerCommandLine(c.arguments, "9.8.7");
        ASSERT_EQ(c.starts, !answer.has_value());
        if (answer) {
            EXPECT_EQ(c.text, answer->text);
            EXPECT_EQ(c.stream, answer->stream);
            EXPECT_EQ(c.status, answer->status);
        }
    }
}

} // namespace
