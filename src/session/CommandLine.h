#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dovo {

// What the command line answers when Dovo is not to start: the text, where
// it goes, and the exit status. Each program prints it its own way.
struct CommandLineAnswer
{
    enum class Stream
    {
        Output,
        Error
    };

    std::string text;
    Stream stream = Stream::Output;
    int status = 0;
};

// The arguments after the program's name. Nothing when Dovo should start.
// An argument that is not an option of the table refuses the whole command
// line, whatever else it holds: one line on the error stream, status 2.
// Otherwise --help wins over --version.
std::optional<CommandLineAnswer> AnswerCommandLine(const std::vector<std::string>& arguments,
                                                   std::string_view version);

} // namespace dovo
