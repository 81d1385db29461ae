#include "VarnelKit/Platform/CupsApi.hpp"

#include "VarnelKit/Support/Text.hpp"

#include <cups/cups.h>
#include <map>

namespace varnel {

namespace {

// Text from the library is made valid UTF-8 where it enters.
std::optional<std::string> text(const char* value) {
    if (!value) return std::nullopt;
    return Text::makeValidUtf8(value);
}

// Destinations do not carry "printer-state-message"; one CUPS-Get-Printers request asks the
// scheduler for it, printer by printer.
std::map<std::string, std::string> stateMessages() {
    std::map<std::string, std::string> messages;
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    static const char* const requested[] = {"printer-name", "printer-state-message"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, requested);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/"); // frees the request
    if (!response) return messages;

    std::optional<std::string> name;
    std::optional<std::string> message;
    const auto commit = [&] {
        if (name && message) messages[*name] = *message;
        name.reset();
        message.reset();
    };
    for (ipp_attribute_t* attribute = ippFirstAttribute(response); attribute; attribute = ippNextAttribute(response)) {
        const char* attributeName = ippGetName(attribute);
        if (!attributeName) { // the separator between two printers
            commit();
            continue;
        }
        if (ippGetGroupTag(attribute) != IPP_TAG_PRINTER) continue;
        const std::string_view key(attributeName);
        if (key == "printer-name") name = text(ippGetString(attribute, 0, nullptr));
        if (key == "printer-state-message") message = text(ippGetString(attribute, 0, nullptr));
    }
    commit();
    ippDelete(response);
    return messages;
}

class LibCupsApi final : public CupsApi {
public:
    std::vector<CupsDestination> destinations() override {
        cups_dest_t* dests = nullptr;
        const int count = cupsGetDests(&dests);
        std::vector<CupsDestination> result;
        result.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
        for (int i = 0; i < count; ++i) {
            const cups_dest_t& dest = dests[i];
            CupsDestination destination{text(dest.name), text(dest.instance), {}};
            for (int j = 0; j < dest.num_options; ++j) {
                destination.options.push_back({text(dest.options[j].name), text(dest.options[j].value)});
            }
            result.push_back(std::move(destination));
        }
        cupsFreeDests(count, dests);
        if (result.empty()) return result;

        const auto messages = stateMessages();
        for (auto& destination : result) {
            if (!destination.name) continue;
            const auto found = messages.find(*destination.name);
            if (found != messages.end()) destination.options.push_back({"printer-state-message", found->second});
        }
        return result;
    }

    CupsJobListing jobs(const std::optional<std::string>& queue, WhichJobs which) override {
        cups_job_t* list = nullptr;
        const int count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &list, queue ? queue->c_str() : nullptr, 0,
                                       which == WhichJobs::all ? CUPS_WHICHJOBS_ALL : CUPS_WHICHJOBS_ACTIVE);
        CupsJobListing result;
        if (count < 0) {
            // Read on this thread, right after the request that set it.
            result.status = cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND ? CupsJobListing::Status::queueMissing
                                                                          : CupsJobListing::Status::unreachable;
            return result;
        }
        for (int i = 0; i < count; ++i) {
            result.jobs.push_back(
                {list[i].id, text(list[i].dest), static_cast<std::int32_t>(list[i].state), list[i].creation_time});
        }
        cupsFreeJobs(count, list);
        return result;
    }

    std::int32_t createJob(const std::string& queue, const std::string& title,
                           const std::vector<std::pair<std::string, std::string>>& options) override {
        cups_option_t* list = nullptr;
        int count = 0;
        for (const auto& [name, value] : options) count = cupsAddOption(name.c_str(), value.c_str(), count, &list);
        const int jobId = cupsCreateJob(CUPS_HTTP_DEFAULT, queue.c_str(), title.c_str(), count, list);
        cupsFreeOptions(count, list);
        return jobId;
    }

    int startDocument(const std::string& queue, std::int32_t jobId, const std::string& documentName,
                      const std::string& mimeType) override {
        return static_cast<int>(
            cupsStartDocument(CUPS_HTTP_DEFAULT, queue.c_str(), jobId, documentName.c_str(), mimeType.c_str(), 1));
    }

    int writeRequestData(const std::uint8_t* data, std::size_t length) override {
        return static_cast<int>(cupsWriteRequestData(CUPS_HTTP_DEFAULT, reinterpret_cast<const char*>(data), length));
    }

    int finishDocument(const std::string& queue) override {
        return static_cast<int>(cupsFinishDocument(CUPS_HTTP_DEFAULT, queue.c_str()));
    }

    void cancelJob(const std::string& queue, std::int32_t jobId) override { cupsCancelJob(queue.c_str(), jobId); }

    std::optional<std::string> lastErrorString() override { return text(cupsLastErrorString()); }
};

} // namespace

std::shared_ptr<CupsApi> systemCupsApi() {
    static const auto api = std::make_shared<LibCupsApi>();
    return api;
}

} // namespace varnel
