// The program's message table: the event viewer formats event id 0 of the
// source "QuelvaronAsterisk" from quelvaron-service.exe, and must show the
// entry's insertion string exactly, without "description not found".
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

class MessageTable : public ::testing::Test {
  protected:
    void SetUp() override
    {
        module = LoadLibraryExA("quelvaron-service.exe", NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << "quelvaron-service.exe not beside the test (error " << GetLastError() << ")";
    }
    void TearDown() override
    {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }
    // What the event viewer does with one insertion string.
    std::string Format(const char *insertion)
    {
        char text[2048];
        DWORD_PTR arguments[1] = {(DWORD_PTR)insertion};
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, 0, 0,
                                      text, sizeof(text), (va_list *)arguments);
        EXPECT_NE(length, 0u) << "no message 0 (error " << GetLastError() << ")";
        return std::string(text, length);
    }
    HMODULE module = nullptr;
};

TEST_F(MessageTable, MessageZeroIsExactlyItsInsertionString)
{
    EXPECT_EQ(Format("Servico Quelvaron Asterisk em execucao continua."),
              "Servico Quelvaron Asterisk em execucao continua.");
    EXPECT_EQ(Format("Falha ao iniciar processo Asterisk (Erro: 2). Caminho: C:\\Asterisk\\bin\\asterisk.exe"),
              "Falha ao iniciar processo Asterisk (Erro: 2). Caminho: C:\\Asterisk\\bin\\asterisk.exe");
}

TEST_F(MessageTable, InsertedTextIsNotInterpretedAgain)
{
    EXPECT_EQ(Format("100% %1 %n %0 \"x\""), "100% %1 %n %0 \"x\"");
}

TEST_F(MessageTable, ALongestEventTextComesBackWhole)
{
    std::string text(511, 'a');
    EXPECT_EQ(Format(text.c_str()), text);
}

} // namespace
