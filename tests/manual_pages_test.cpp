// The manual pages against the programs: every option udpphone-peer's help names is described in
// its page, under its command or among the options the commands share, and nothing more; both
// pages format without a warning.

#include <gtest/gtest.h>

#include <QProcess>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "support/PeerProcess.h"

namespace {

using Names = std::set<std::string>;

std::string ManPage(const std::string& program) {
    std::ifstream file(std::string(UDPPHONE_MAN_DIR) + "/" + program + ".1");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Unescaped(std::string line) {
    for (std::size_t at = line.find("\\-"); at != std::string::npos; at = line.find("\\-", at)) {
        line.erase(at, 1);
    }
    return line;
}

Names LongOptions(const std::string& text) {
    static const std::regex kOption("--[a-z][a-z-]*[a-z]");
    Names names;
    for (std::sregex_iterator it(text.begin(), text.end(), kOption), end; it != end; ++it) {
        names.insert(it->str());
    }
    return names;
}

// The options in the tags of the page's option lists: "" for those under OPTIONS, the command's
// name for those under its subsection of COMMANDS. Options mentioned in running text don't count.
std::map<std::string, Names> DescribedOptions(const std::string& page) {
    std::map<std::string, Names> described;
    std::istringstream lines(page);
    std::string line, section;
    bool tagNext = false;
    bool commands = false;
    while (std::getline(lines, line)) {
        if (line.rfind(".SH ", 0) == 0) {
            commands = line == ".SH COMMANDS";
            section = line == ".SH OPTIONS" ? "" : "(elsewhere)";
        } else if (line.rfind(".SS ", 0) == 0 && commands) {
            section = line.substr(4);
            described[section];
        } else if (tagNext) {
            const Names names = LongOptions(Unescaped(line));
            described[section].insert(names.begin(), names.end());
        }
        tagNext = line == ".TP";
    }
    return described;
}

// What `udpphone-peer [COMMAND] --help` lists: its options, and the commands when there are any.
struct Help {
    Names options;
    Names commands;
};

Help HelpOf(const QStringList& command) {
    const testsupport::PeerResult run = testsupport::RunPeer(command + QStringList{"--help"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    static const std::regex kOptionLine(R"(^\s+(?:-[a-z],)?(--[a-z][a-z-]*))");
    static const std::regex kCommandLine(R"(^  ([a-z]+)\s)");
    Help help;
    std::istringstream lines(run.out);
    std::string line;
    bool inCommands = false;
    while (std::getline(lines, line)) {
        std::smatch match;
        if (line.rfind("Subcommands:", 0) == 0 || line.empty()) {
            inCommands = !line.empty();
        } else if (inCommands && std::regex_search(line, match, kCommandLine)) {
            help.commands.insert(match[1]);
        } else if (std::regex_search(line, match, kOptionLine)) {
            help.options.insert(match[1]);
        }
    }
    return help;
}

TEST(ManualPages, PeerPageDescribesExactlyTheOptionsOfEachCommand) {
    const std::map<std::string, Names> described = DescribedOptions(ManPage("udpphone-peer"));
    const Help top = HelpOf({});
    ASSERT_FALSE(top.commands.empty()) << "no commands found in udpphone-peer --help";

    Names pageCommands;
    for (const auto& [section, names] : described) {
        if (section != "" && section != "(elsewhere)") {
            pageCommands.insert(section);
        }
    }
    EXPECT_EQ(pageCommands, top.commands) << "the COMMANDS subsections against the help's commands";

    const Names& common = described.count("") ? described.at("") : Names{};
    for (const std::string& command : top.commands) {
        SCOPED_TRACE("udpphone-peer " + command);
        const Help help = HelpOf({QString::fromStdString(command)});
        ASSERT_FALSE(help.options.empty());
        // A command without a socket of its own (report reads a file; calls gives each call one
        // and has ranges of its own) takes none of the common options but --help; its page
        // section names the rest.
        Names onPage = help.options.count("--local-port") ? common : Names{"--help"};
        if (described.count(command)) {
            onPage.insert(described.at(command).begin(), described.at(command).end());
        }
        EXPECT_EQ(onPage, help.options);
    }
    // Options every command takes are the ones under OPTIONS; the top level has only --help.
    EXPECT_TRUE(top.options.count("--help"));
    EXPECT_TRUE(common.count("--help"));
}

TEST(ManualPages, FormatWithoutWarnings) {
    for (const char* program : {"udpphone", "udpphone-peer"}) {
        SCOPED_TRACE(program);
        QProcess groff;
        groff.start("groff",
                    {"-man", "-ww", "-z",
                     QString::fromStdString(std::string(UDPPHONE_MAN_DIR) + "/" + program + ".1")});
        ASSERT_TRUE(groff.waitForFinished(30000)) << groff.errorString().toStdString();
        EXPECT_EQ(groff.exitCode(), 0);
        EXPECT_EQ(groff.readAllStandardError().toStdString(), "");
    }
}

}  // namespace
