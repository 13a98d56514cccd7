// Console mode (-console, -debug) with the development PBX as asterisk.exe:
// the PBX runs in the foreground through the command interpreter and gets
// the console command line exactly as the program prints it, also from a
// folder like "Program Files (x86)", whose blanks and parentheses make
// cmd.exe drop a lone pair of quotes.
#include "scm_harness.h"

namespace {

class ConsoleMode : public ScmTest {
protected:
    // A folder named `name` (blanks allowed) with a PBX that ends by itself.
    ::testing::AssertionResult PrepareNamed(const std::string &name)
    {
        std::string why;
        if (!prepare_folder(name, true, "exit_after_ms=2000\r\n", &folder_, &why))
            return ::testing::AssertionFailure() << why;
        prepared_ = true;
        return ::testing::AssertionSuccess();
    }

    void ExpectConsoleRun(const char *option)
    {
        std::string command_line = "\"" + folder_.pbx_exe + "\" -f -vvvvv -c";
        ChildResult r = run_service(folder_, {option});
        EXPECT_FALSE(r.timed_out) << option;
        EXPECT_EQ(r.exit_code, 0) << option << r.err;

        std::string rule(70, '=');
        std::string banner = rule + "\n"
                                    " Quelvaron Asterisk PBX \xE2\x80\x94 Modo Console / Depuracao\n"
                                    " Pressione Ctrl+C para encerrar o processo.\n" +
                             rule + "\n\n[Console] Executando: " + command_line + "\n";
        // The PBX's own lines follow on the same output.
        EXPECT_EQ(lf_text(r.out).substr(0, banner.size()), banner) << option;

        std::vector<PbxLogLine> starts = log_lines_of(read_pbx_log(folder_), "start");
        ASSERT_EQ(starts.size(), 1u) << option << ": the PBX did not start (" << r.err << ")";
        EXPECT_EQ(starts[0].rest, command_line) << option;
        EXPECT_EQ(log_lines_of(read_pbx_log(folder_), "exit").size(), 1u) << option;
    }
};

TEST_F(ConsoleMode, RunsThePbxWithTheQuotedCommandLine)
{
    ASSERT_TRUE(PrepareNamed("ConsoleMode"));
    ExpectConsoleRun("-console");
}

TEST_F(ConsoleMode, RunsThePbxFromAFolderWithBlanksAndParentheses)
{
    ASSERT_TRUE(PrepareNamed("Console Mode (x86)"));
    ExpectConsoleRun("-DEBUG");
}

} // namespace
