// The action table, registering and unregistering, and the module's load and
// unload functions with their log lines.  Each test starts from the state of
// a freshly loaded plug-in (table and count zero), which the plug-in itself
// never returns to.
#include "res_test_support.h"

#include <memory>
#include <string>

namespace {

const char load_line[] =
    "[NOTICE] res/res_quelvaron_ami.cpp:275 quelvaron_ami_init: "
    "Modulo res_quelvaron_ami inicializado com 6 acoes AMI registradas\n";
const char unload_line[] =
    "[NOTICE] res/res_quelvaron_ami.cpp:287 quelvaron_ami_destroy: "
    "Modulo res_quelvaron_ami descarregado\n";

struct expected_action {
    const char *name;
    int32_t authority;
    ami_action_handler handler;
    const char *synopsis;
    const char *description;
};

const expected_action six[] = {
    {"QuelvaronShowEndpoints", 513, action_quelvaron_show_endpoints,
     "Lista todos os endpoints do Quelvaron PJSIP",
     "Exibe a lista consolidada de endpoints ativos e registrados.\r\n"},
    {"QuelvaronShowEndpoint", 513, action_quelvaron_show_endpoint,
     "Exibe detalhes de um endpoint Quelvaron PJSIP",
     "Retorna todos os atributos e status do endpoint especificado.\r\n"},
    {"QuelvaronQualify", 3, action_quelvaron_qualify,
     "Dispara teste de lat\xC3\xAAncia (Qualify) para um endpoint",
     "Envia OPTIONS/Keep-Alive e mede o tempo de resposta RTT.\r\n"},
    {"QuelvaronHangup", 3, action_quelvaron_hangup, "Encerra chamada ativa no canal Quelvaron",
     "Localiza o canal por nome ou Call-ID e finaliza a sessao.\r\n"},
    {"QuelvaronNotify", 65, action_quelvaron_notify, "Envia notificacao SIP NOTIFY para um endpoint",
     "Dispara pacote SIP NOTIFY com payload configurado.\r\n"},
    {"QuelvaronReload", 129, action_quelvaron_reload, "Recarrega configuracoes do Quelvaron PJSIP",
     "Recarrega objetos do quelvaron.conf sem interrupcao de chamadas.\r\n"},
};

// A text field holds the text and zero bytes up to its end.
template <size_t N>
::testing::AssertionResult field_is(const char (&field)[N], const std::string &text)
{
    if (text.size() >= N || std::memcmp(field, text.data(), text.size()) != 0)
        return ::testing::AssertionFailure() << "field is \"" << std::string(field, strnlen(field, N)) << "\"";
    for (size_t i = text.size(); i < N; i++)
        if (field[i] != '\0')
            return ::testing::AssertionFailure() << "byte " << i << " after the text is not zero";
    return ::testing::AssertionSuccess();
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::memset(quelvaron_registered_ami_actions, 0, sizeof quelvaron_registered_ami_actions);
        quelvaron_registered_ami_count = 0;
    }
    void expect_slot(int slot, const expected_action &a, int registered)
    {
        const ami_action &e = quelvaron_registered_ami_actions[slot];
        SCOPED_TRACE("slot " + std::to_string(slot));
        EXPECT_TRUE(field_is(e.name, a.name));
        EXPECT_EQ(e.authority, a.authority);
        EXPECT_EQ(e.handler, a.handler);
        EXPECT_TRUE(field_is(e.module, "res_quelvaron_ami"));
        EXPECT_TRUE(field_is(e.synopsis, a.synopsis));
        EXPECT_TRUE(field_is(e.description, a.description));
        EXPECT_EQ(e.registered, registered);
    }
    static std::string captured(int (*fn)(void))
    {
        testing::internal::CaptureStdout();
        EXPECT_EQ(fn(), 0);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(RegistryTest, LoadRegistersTheSixActionsInOrderAndLogsOnce)
{
    EXPECT_EQ(captured(ast_load_module), load_line);
    ASSERT_EQ(quelvaron_registered_ami_count, 6);
    for (int i = 0; i < 6; i++)
        expect_slot(i, six[i], 1);
    const ami_action zero{};
    EXPECT_EQ(std::memcmp(&quelvaron_registered_ami_actions[6], &zero, sizeof zero), 0);
}

TEST_F(RegistryTest, UnloadMarksUnregisteredAndKeepsSlotsAndTexts)
{
    captured(ast_load_module);
    EXPECT_EQ(captured(ast_unload_module), unload_line);
    EXPECT_EQ(quelvaron_registered_ami_count, 6);
    for (int i = 0; i < 6; i++)
        expect_slot(i, six[i], 0);
}

TEST_F(RegistryTest, UnloadOfAFreshPluginChangesNothingButLogs)
{
    EXPECT_EQ(captured(unload_module), unload_line);
    EXPECT_EQ(quelvaron_registered_ami_count, 0);
    const ami_action zero{};
    EXPECT_EQ(std::memcmp(&quelvaron_registered_ami_actions[0], &zero, sizeof zero), 0);
}

TEST_F(RegistryTest, EveryLoadTakesNewSlotsAndEveryUnloadClearsTheFirstOfEachName)
{
    EXPECT_EQ(captured(ast_load_module), load_line);
    EXPECT_EQ(captured(info.load), load_line);
    EXPECT_EQ(quelvaron_registered_ami_count, 12);
    for (int i = 0; i < 12; i++)
        expect_slot(i, six[i % 6], 1);

    captured(info.unload);
    captured(ast_unload_module);  // matches slots 0 to 5 again: registered or not, the first match stops
    EXPECT_EQ(quelvaron_registered_ami_count, 12);
    for (int i = 0; i < 12; i++)
        expect_slot(i, six[i % 6], i < 6 ? 0 : 1);
}

TEST_F(RegistryTest, TwentyTwoLoadsFillTheTableThenLoadsRegisterNothing)
{
    std::string out;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 21; i++)
        ast_load_module();
    EXPECT_EQ(quelvaron_registered_ami_count, 126);
    ast_load_module();
    EXPECT_EQ(quelvaron_registered_ami_count, 128);
    expect_slot(126, six[0], 1);
    expect_slot(127, six[1], 1);
    ast_load_module();
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(quelvaron_registered_ami_count, 128);

    std::string lines;
    for (int i = 0; i < 23; i++)
        lines += load_line;
    EXPECT_EQ(out, lines) << "every load logs, full table or not";
    EXPECT_EQ(ami_register_action("X", 1, nullptr, "m", "s", "d"), -1);
    EXPECT_EQ(quelvaron_registered_ami_count, 128);
}

TEST_F(RegistryTest, RegisterCutsLongTextsToTheirFields)
{
    std::string name(100, 'N'), module(70, 'M'), synopsis(200, 'S'), description(300, 'D');
    EXPECT_EQ(ami_register_action(name.c_str(), 7, action_quelvaron_reload, module.c_str(),
                                  synopsis.c_str(), description.c_str()),
              0);
    const ami_action &e = quelvaron_registered_ami_actions[0];
    EXPECT_TRUE(field_is(e.name, name.substr(0, 63)));
    EXPECT_TRUE(field_is(e.module, module.substr(0, 63)));
    EXPECT_TRUE(field_is(e.synopsis, synopsis.substr(0, 127)));
    EXPECT_TRUE(field_is(e.description, description.substr(0, 255)));
    EXPECT_EQ(e.authority, 7);
    EXPECT_EQ(e.registered, 1);
}

TEST_F(RegistryTest, RegisterZeroFillsWhatTheSlotHeldAndReadsEmptyTextsOnlyToTheirNul)
{
    // A slot that held something (a host that set the count back), and empty
    // texts of one byte on the heap: a read past their NUL shows under
    // AddressSanitizer.
    std::memset(&quelvaron_registered_ami_actions[0], 'x', sizeof(ami_action));
    std::unique_ptr<char[]> empty(new char[1]());
    EXPECT_EQ(ami_register_action("Name", 7, nullptr, empty.get(), nullptr, "d"), 0);
    const ami_action &e = quelvaron_registered_ami_actions[0];
    EXPECT_TRUE(field_is(e.name, "Name"));
    EXPECT_TRUE(field_is(e.module, ""));
    EXPECT_TRUE(field_is(e.synopsis, ""));
    EXPECT_TRUE(field_is(e.description, "d"));
}

TEST_F(RegistryTest, UnregisterLooksOnlyAtTheSlotsTheCountPutsInUse)
{
    captured(ast_load_module);
    const struct {
        int32_t count;
        const char *name;
        int slot;
        int registered;
    } rows[] = {
        {3, "QuelvaronHangup", 3, 1},       // past the count
        {-1, "QuelvaronShowEndpoints", 0, 1}, // a corrupt count: no slot in use
        {AMI_MAX_ACTIONS + 1, "Missing", 0, 1}, // never past the table (AddressSanitizer)
        {AMI_MAX_ACTIONS + 1, "QuelvaronReload", 5, 0},
    };
    for (const auto &row : rows) {
        quelvaron_registered_ami_count = row.count;
        ami_unregister_action(row.name);
        EXPECT_EQ(quelvaron_registered_ami_actions[row.slot].registered, row.registered) << row.name;
    }
}

TEST_F(RegistryTest, UnregisterMatchesWholeNamesIgnoringCase)
{
    captured(ast_load_module);
    ami_unregister_action("QuelvaronReloa");
    ami_unregister_action("QuelvaronReloadX");
    ami_unregister_action("");
    ami_unregister_action("Unknown");
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(quelvaron_registered_ami_actions[i].registered, 1);

    ami_unregister_action("qUELVARONrELOAD");
    EXPECT_EQ(quelvaron_registered_ami_actions[5].registered, 0);
    EXPECT_EQ(quelvaron_registered_ami_count, 6);
}

TEST_F(RegistryTest, TableEntriesServeRequests)
{
    chanq_reset();
    captured(ast_load_module);
    Reply r;
    Request q{"Action: QuelvaronReload", "ActionID: t"};
    EXPECT_EQ(quelvaron_registered_ami_actions[5].handler(r, q), 0);
    EXPECT_EQ(r.text(), "Response: Success\r\nActionID: t\r\nMessage: Quelvaron PJSIP configuration reloaded\r\n\r\n");
}

TEST_F(RegistryTest, ModuleInformationAndReload)
{
    const ami_module_info *mi = ast_module_info();
    EXPECT_EQ(mi, &info);
    EXPECT_EQ(mi->load, load_module);
    EXPECT_EQ(mi->unload, unload_module);
    EXPECT_EQ(mi->reload, nullptr);
    EXPECT_STREQ(mi->description, "Quelvaron Asterisk Manager Interface Module");
    EXPECT_STREQ(module_description(), mi->description);
    EXPECT_STREQ(mi->name, "res_quelvaron_ami");

    captured(ast_load_module);
    EXPECT_EQ(captured(ast_reload_module), "");
    EXPECT_EQ(quelvaron_registered_ami_count, 6);
    for (int i = 0; i < 6; i++)
        expect_slot(i, six[i], 1);
}

} // namespace
