// SPDX-License-Identifier: GPL-3.0-or-later
// The command line's options, parsed straight into the request a run is
// handed: what each line of arguments asks for, and what it is refused for.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "app/cli/options.h"

namespace quillbox::app {
namespace {

// Parses `arguments` (after the program's name) as main() would get them.
bool Parse(std::initializer_list<const char*> arguments, Options& options, std::string& error)
{
    std::vector<std::string> words {"quillbox"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return ParseOptions(static_cast<int>(words.size()), argv.data(), options, error);
}

TEST(Options, EachLineOfArgumentsFillsOneRequest)
{
    struct Case {
        std::initializer_list<const char*> arguments;
        RunKind kind;
        TransferMode mode;
        const char* source;
        const char* destination;
        bool createDirs;
        Detail detail;
        const char* run;
        bool session;
    };
    const auto copy = TransferMode::Copy;
    const auto move = TransferMode::Move;
    const Case cases[] = {
        {{"--copy", "in", "out"}, RunKind::Sort, copy, "in", "out", false, Detail::Normal, "", false},
        {{"out/../in", "--move", "-v", "--create", "out"},
         RunKind::Sort,
         move,
         "out/../in",
         "out",
         true,
         Detail::Verbose,
         "",
         false},
        {{"-nq", "--mo", "--", "-in", "out"}, RunKind::Preview, move, "-in", "out", false, Detail::Quiet, "", false},
        {{"--dry-run", "--copy", "--create-dirs", "/a", "/b/"},
         RunKind::Preview,
         copy,
         "/a",
         "/b/",
         true,
         Detail::Normal,
         "",
         false},
        {{"--watch", "--move", "--settle", "0.5", "--ignore", "*.iso", "dl", "sorted"},
         RunKind::Watch,
         move,
         "dl",
         "sorted",
         false,
         Detail::Normal,
         "",
         false},
        {{"--watch-config", "downloads", "-q"}, RunKind::Watch, copy, "", "", false, Detail::Quiet, "", false},
        {{"--undo"}, RunKind::Undo, copy, "", "", false, Detail::Normal, "", false},
        {{"--undo", "3", "--quiet"}, RunKind::Undo, copy, "", "", false, Detail::Quiet, "3", false},
        {{"--undo=run-7"}, RunKind::Undo, copy, "", "", false, Detail::Normal, "run-7", false},
        {{"--undo", "--session"}, RunKind::Undo, copy, "", "", false, Detail::Normal, "", true},
        {{"--list-runs"}, RunKind::ListRuns, copy, "", "", false, Detail::Normal, "", false},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const char* argument : c.arguments)
            line += std::string(argument) + " ";
        SCOPED_TRACE(line);
        Options options;
        std::string error;
        ASSERT_TRUE(Parse(c.arguments, options, error)) << error;
        const RunRequest& request = options.request;
        EXPECT_EQ(request.kind, c.kind);
        EXPECT_EQ(request.mode, c.mode);
        // As given: made absolute only once they proved to be folders.
        EXPECT_EQ(request.source, c.source);
        EXPECT_EQ(request.destination, c.destination);
        EXPECT_EQ(request.createDirs, c.createDirs);
        EXPECT_EQ(request.detail, c.detail);
        EXPECT_EQ(request.run, c.run);
        EXPECT_EQ(request.session, c.session);
        EXPECT_FALSE(request.destinationMade);
        EXPECT_TRUE(request.only.empty());
    }

    Options watch;
    std::string error;
    ASSERT_TRUE(Parse({"--watch", "--copy", "--ignore", "*.iso", "--ignore", "a b", "--settle", "x", "in", "out"},
                      watch, error));
    EXPECT_EQ(watch.request.ignores, (std::vector<std::string> {"*.iso", "a b"}));
    // The settle time is read as the watch starts, where a bad one is told.
    EXPECT_TRUE(watch.settleGiven);
    EXPECT_EQ(watch.settle, "x");

    Options config;
    ASSERT_TRUE(Parse({"--watch-config", "downloads"}, config, error));
    EXPECT_TRUE(config.watchConfigGiven);
    EXPECT_EQ(config.watchConfig, "downloads");

    Options help;
    ASSERT_TRUE(Parse({"--copy", "--move", "-h"}, help, error)) << "help goes before any other check";
    EXPECT_TRUE(help.help);
}

TEST(Options, ArgumentsThatMakeNoRequestAreRefusedInWords)
{
    struct Case {
        std::initializer_list<const char*> arguments;
        const char* error;
    };
    const Case cases[] = {
        {{"in", "out"}, "say --copy or --move"},
        {{"--copy", "--move", "in", "out"}, "--copy and --move exclude each other"},
        {{"--copy", "in"}, "SOURCE and DESTINATION are both needed"},
        {{"--copy", "a", "b", "c"}, "too many folders"},
        {{"-q", "-v", "--copy", "a", "b"}, "--quiet and --verbose exclude each other"},
        {{"--session"}, "--session goes with --undo and no RUN"},
        {{"--undo", "2", "--session"}, "--session goes with --undo and no RUN"},
        {{"--settle", "2", "--copy", "a", "b"}, "--settle and --ignore go with --watch"},
        {{"--watch-config", "x", "--copy"}, "--watch-config takes a name and no other option but --quiet or --verbose"},
        {{"--watch", "-n", "--copy", "a", "b"}, "--watch goes with neither --dry-run, --list-runs nor --undo"},
        {{"--list-runs", "--undo"}, "--list-runs and --undo exclude each other"},
        {{"--undo", "1", "2"}, "--undo takes one run and no other option but --quiet"},
        {{"--undo", "-v"}, "--undo takes one run and no other option but --quiet"},
        {{"--list-runs", "-q"}, "--list-runs takes no folders or other options"},
        {{"--colour"}, "unknown option --colour"},
        {{"--c", "a", "b"}, "option --c is ambiguous: --copy, --create-dirs"},
        {{"--copy=yes", "a", "b"}, "option --copy takes no value"},
        {{"--settle"}, "option --settle needs a value"},
        {{"-x"}, "unknown option -x"},
    };
    for (const Case& c : cases) {
        Options options;
        std::string error;
        EXPECT_FALSE(Parse(c.arguments, options, error)) << c.error;
        EXPECT_EQ(error, c.error);
    }
}

} // namespace
} // namespace quillbox::app
