#include "VarnelMenuBar/MenuModel.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using Status = VarnelAgent::Status;
using Action = MenuModel::Action;
using MenuModel::Entry;

AgentSettings settings() {
    AgentSettings s;
    s.deviceId = 7;
    s.deviceName = "Front desk";
    s.serverURL = *parseAbsoluteUrl("https://varnel.example");
    return s;
}

ReportedPrinter printer(std::string name, std::string status, PrinterLanguage language = PrinterLanguage::zpl,
                        std::optional<std::string> message = std::nullopt) {
    return ReportedPrinter{"net:" + name, std::move(name), PrinterTransport::network, language,
                           std::nullopt,  std::nullopt,    std::move(status),         std::move(message),
                           std::nullopt,  std::nullopt};
}

VarnelAPIClient::AgentUpdate offer(bool required, bool notes) {
    VarnelAPIClient::AgentUpdate update;
    update.version = "1.2.3";
    update.downloadURL = *parseAbsoluteUrl("https://varnel.example/Varnel-1.2.3.dmg");
    if (notes)
        update.notesURL = *parseAbsoluteUrl("https://varnel.example/notes");
    update.sha256 = std::string(64, 'a');
    update.required = required;
    return update;
}

// One line per entry: "-" for a separator, else the title with its traits.
std::vector<std::string> lines(const std::vector<Entry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) {
        if (e.separator) {
            out.push_back("-");
            continue;
        }
        std::string line = e.title;
        if (!e.enabled)
            line += " [off]";
        if (e.bold)
            line += " [bold]";
        if (e.key)
            line += std::string(" [^") + e.key + "]";
        out.push_back(line);
    }
    return out;
}

TEST(MenuModelTest, EachStatusAndOfferGivesItsRows) {
    struct Case {
        const char* name;
        MenuModel::State state;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"never set up: two separators in a row",
         {Status::notEnrolled(), std::nullopt, {}, std::nullopt, false},
         {"Varnel \u2014 not set up [off]", "-", "Set up Varnel\u2026 [^s]", "-", "-", "Quit Varnel [^q]"}},
        {"access removed keeps the device row and lists no printers",
         {Status::accessRevoked(), settings(), {printer("A", "online")}, std::nullopt, false},
         {"Varnel \u2014 access removed. Set up again to reconnect. [off]", "Front desk [off]", "-",
          "This Mac's access was removed [off]", "Set up again\u2026 [^s]", "-",
          "Open Varnel\u2026 [bold] [^o]", "Open dashboard in browser", "-", "Quit Varnel [^q]"}},
        {"update required, with a required offer and notes",
         {Status::updateRequired("1.2.0"), settings(), {}, offer(true, true), false},
         {"Varnel \u2014 update needed (version 1.2.0). Printing has stopped. [off]", "Front desk [off]", "-",
          "Varnel needs updating to 1.2.0 or later [off]", "Printing is paused until it is updated [off]",
          "Get the latest version\u2026", "-", "Varnel 1.2.3 is required [off]", "Update to 1.2.3 now [bold]",
          "What's new\u2026", "-", "Open Varnel\u2026 [bold] [^o]", "Open dashboard in browser", "-",
          "Quit Varnel [^q]"}},
        {"connected with an optional offer without notes, while it installs",
         {Status::connected(), settings(), {}, offer(false, false), true},
         {"Varnel \u2014 connected [off]", "Front desk [off]", "-", "No printers found [off]", "-",
          "Varnel 1.2.3 is available [off]", "Updating\u2026 [off] [bold]", "-",
          "Open Varnel\u2026 [bold] [^o]", "Open dashboard in browser", "-", "Quit Varnel [^q]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(lines(MenuModel::build(c.state)), c.expected);
    }
}

TEST(MenuModelTest, TheActionsBehindTheRows) {
    const auto entries =
        MenuModel::build({Status::updateRequired("1.2.0"), settings(), {}, offer(true, true), false});
    std::vector<Action> actions;
    for (const auto& e : entries) {
        if (e.action != Action::none)
            actions.push_back(e.action);
    }
    EXPECT_EQ(actions,
              (std::vector<Action>{Action::openWebApp, Action::installUpdate, Action::openReleaseNotes,
                                   Action::openConfiguration, Action::openWebApp, Action::quit}));
    // A row without an action is never enabled.
    for (const auto& e : entries)
        EXPECT_EQ(e.enabled, e.action != Action::none) << e.title;
}

TEST(MenuModelTest, PrinterRowsSortByCodePointAndOfferTestPrintsOnlyWhenPossible) {
    const std::vector<ReportedPrinter> printers{
        printer("alpha", "offline"),
        printer("Zeta", "online"),
        printer("Beta", "error", PrinterLanguage::pdf, "Out of paper"),
        printer("Mystery", "online", PrinterLanguage::unknown),
        printer("Odd", "online", PrinterLanguage::unknown, "Driver missing"),
        printer("Desk", "online", PrinterLanguage::pdf),
    };
    const auto rows = MenuModel::printerRows(printers);
    struct Expected {
        const char* title;
        bool enabled;
        const char* tooltip;
    };
    const Expected expected[] = {
        {"\u25B2  Beta", false, "Out of paper"},
        {"\u25CF  Desk", true, "Send a test label to Desk"},
        {"\u25CF  Mystery", false, "Language not supported yet"},
        {"\u25CF  Odd", false, "Driver missing"},
        {"\u25CF  Zeta", true, "Send a test label to Zeta"},
        {"\u25CB  alpha", false, "Not reachable"},
    };
    ASSERT_EQ(rows.size(), std::size(expected));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(expected[i].title);
        EXPECT_EQ(rows[i].title, expected[i].title);
        EXPECT_EQ(rows[i].enabled, expected[i].enabled);
        EXPECT_EQ(rows[i].tooltip, expected[i].tooltip);
        // A clickable row carries the printer it prints on.
        EXPECT_EQ(rows[i].printer.has_value(), expected[i].enabled);
        EXPECT_EQ(rows[i].action, expected[i].enabled ? Action::testPrint : Action::none);
    }
    EXPECT_EQ(rows[1].printer->key, "net:Desk");
}

} // namespace
} // namespace varnel
