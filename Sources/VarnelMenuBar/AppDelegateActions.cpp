// The status menu's actions other than the windows and the update.
#include "VarnelKit/Language/LabelLanguageDrivers.hpp"
#include "VarnelKit/Support/Error.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Url.hpp"
#include "VarnelKit/Transport/TestLabelPrint.hpp"
#include "VarnelMenuBar/Alerts.hpp"
#include "VarnelMenuBar/AppDelegate.hpp"
#include "VarnelMenuBar/Desktop.hpp"

namespace varnel {
namespace {

// No transport: none; otherwise the bytes handed to the printer.
Awaitable<std::optional<std::int64_t>> printTestLabel(std::vector<ReportedPrinter> printers,
                                                      ReportedPrinter printer) {
    const auto driver = LabelLanguageDrivers::driver(printer.language);
    auto transport = co_await TestLabelPrint::transport(std::move(printers), printer.key);
    if (!transport)
        co_return std::nullopt;
    auto label = TestLabelPrint::label(*driver, printer.name);
    co_return co_await TestLabelPrint::send(std::move(transport), std::move(label), printer.language);
}

Awaitable<void> rescanPrinters(std::shared_ptr<VarnelAgent> agent) {
    co_await agent->rescanPrinters();
}

} // namespace

void AppDelegate::testPrint(ReportedPrinter printer) {
    if (!LabelLanguageDrivers::driver(printer.language))
        return;
    spawn(runTestPrint(std::move(printer)));
}

Awaitable<void> AppDelegate::runTestPrint(ReportedPrinter printer) {
    const auto name = printer.name;
    std::optional<std::int64_t> written;
    std::exception_ptr failure;
    try {
        // The list as it is now; a printer no longer in it is still reached by its key.
        written = co_await onLoop(printTestLabel(printers_, std::move(printer)));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        notify("Test label failed", describeException(failure));
    else if (!written)
        notify("Couldn't print", "No way to reach " + name + ".");
    else
        notify("Test label sent", NumberText::integer(*written) + " bytes to " + name + ".");
}

void AppDelegate::openReleaseNotes() {
    if (!availableUpdate_ || !availableUpdate_->notesURL)
        return;
    if (!isWebLink(*availableUpdate_->notesURL)) {
        services_.logger->error(
            "The update's notes were not opened: the server's link to them is not a web address.");
        return;
    }
    services_.desktop->openUrl(std::string(availableUpdate_->notesURL->buffer()));
}

void AppDelegate::openWebApp() {
    if (settings_)
        services_.desktop->openUrl(std::string(settings_->serverURL.buffer()));
}

void AppDelegate::quit() {
    if (services_.requestQuit)
        services_.requestQuit();
}

void AppDelegate::rescan() {
    spawn([](AppDelegate* self) -> Awaitable<void> {
        // The agent goes to the loop with the rescan; no copy of it waits here.
        if (self->agent_)
            co_await self->onLoop(rescanPrinters(self->agent_));
        co_await self->refresh();
    }(this));
}

void AppDelegate::showLogs() {
    if (!services_.logFile)
        return;
    const auto file = services_.logFile->fileURL();
    std::error_code error;
    services_.desktop->openPath(std::filesystem::exists(file, error) ? file : file.parent_path());
}

void AppDelegate::copyLogPath() {
    if (services_.logFile)
        services_.desktop->setClipboard(services_.logFile->fileURL().parent_path().string());
}

} // namespace varnel
