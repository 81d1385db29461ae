#include "VarnelMenuBar/MenuModel.hpp"

#include "VarnelMenuBar/StatusIcon.hpp"

#include <algorithm>

namespace varnel::MenuModel {
namespace {

using Kind = VarnelAgent::Status::Kind;

Entry separator() {
    Entry entry;
    entry.separator = true;
    return entry;
}

Entry label(std::string title) {
    Entry entry;
    entry.title = std::move(title);
    return entry;
}

Entry item(std::string title, Action action, char key = 0) {
    Entry entry;
    entry.title = std::move(title);
    entry.action = action;
    entry.key = key;
    entry.enabled = true;
    return entry;
}

} // namespace

std::vector<Entry> printerRows(const std::vector<ReportedPrinter>& printers) {
    if (printers.empty())
        return {label("No printers found")};
    auto sorted = printers;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const ReportedPrinter& a, const ReportedPrinter& b) { return a.name < b.name; });
    std::vector<Entry> rows;
    for (auto& printer : sorted) {
        const bool online = printer.status == "online";
        const char* mark = online ? "\u25CF" : printer.status == "error" ? "\u25B2" : "\u25CB";
        Entry row = label(std::string(mark) + "  " + printer.name);
        if (online && printer.language != PrinterLanguage::unknown) {
            row.action = Action::testPrint;
            row.enabled = true;
            row.tooltip = "Send a test label to " + printer.name;
            row.printer = std::move(printer);
        } else if (printer.statusMessage) {
            row.tooltip = *printer.statusMessage;
        } else {
            row.tooltip =
                printer.language == PrinterLanguage::unknown ? "Language not supported yet" : "Not reachable";
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<Entry> build(const State& state) {
    std::vector<Entry> entries;
    entries.push_back(label(StatusIcon::tooltip(state.status)));
    if (state.settings)
        entries.push_back(label(state.settings->deviceName));
    entries.push_back(separator());

    switch (state.status.kind()) {
    case Kind::updateRequired:
        entries.push_back(label("Varnel needs updating to " + state.status.minimumVersion() + " or later"));
        entries.push_back(label("Printing is paused until it is updated"));
        entries.push_back(item("Get the latest version\u2026", Action::openWebApp));
        break;
    case Kind::notEnrolled:
        entries.push_back(item("Set up Varnel\u2026", Action::openSetup, 's'));
        break;
    case Kind::accessRevoked:
        entries.push_back(label("This Mac's access was removed"));
        entries.push_back(item("Set up again\u2026", Action::openSetup, 's'));
        break;
    case Kind::disconnected:
    case Kind::connecting:
    case Kind::connected: {
        auto rows = printerRows(state.printers);
        entries.insert(entries.end(), rows.begin(), rows.end());
        break;
    }
    }

    if (const auto& offer = state.availableUpdate) {
        entries.push_back(separator());
        entries.push_back(
            label("Varnel " + offer->version + (offer->required ? " is required" : " is available")));
        Entry update = state.isUpdating ? label("Updating\u2026")
                                        : item("Update to " + offer->version + " now", Action::installUpdate);
        update.bold = true;
        entries.push_back(std::move(update));
        if (offer->notesURL)
            entries.push_back(item("What's new\u2026", Action::openReleaseNotes));
    }

    entries.push_back(separator());
    if (state.settings) {
        Entry open = item("Open Varnel\u2026", Action::openConfiguration, 'o');
        open.bold = true;
        entries.push_back(std::move(open));
        entries.push_back(item("Open dashboard in browser", Action::openWebApp));
    }
    entries.push_back(separator());
    entries.push_back(item("Quit Varnel", Action::quit, 'q'));
    return entries;
}

} // namespace varnel::MenuModel
