#include "VarnelKit/Transport/CupsPrinterTransport.hpp"

#include "FakeCupsApi.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <gtest/gtest.h>

namespace varnel {
namespace {

using testing::FakeCupsApi;
using Call = FakeCupsApi::Call;
using Format = CupsPrinterTransport::DocumentFormat;
using Options = std::vector<std::pair<std::string, std::string>>;

class CupsPrinterTransportTest : public ::testing::Test {
protected:
    CupsPrinterTransportTest() { api->addQueue("Zebra"); }

    std::optional<JobError> submitFailure() {
        return testing::thrownBy<JobError>(loop.loop(),
                                           transport.submit(bytesOf("data"), "title", Format::raw, 1));
    }

    testing::LoopFixture loop;
    std::shared_ptr<FakeCupsApi> api = std::make_shared<FakeCupsApi>();
    CupsPrinterTransport transport{"Zebra", api};
};

TEST_F(CupsPrinterTransportTest, WriteSubmitsOneRawJob) {
    EXPECT_EQ(loop.run(transport.write(bytesOf("^XA^XZ"), "Label")), 6);
    EXPECT_EQ(api->lastOptions(), (Options{{"raw", "true"}}));
    EXPECT_EQ(api->lastData(), "^XA^XZ");
    EXPECT_EQ(api->calls(), (std::vector<Call>{{"destinations", ""},
                                               {"create", "Zebra/Label"},
                                               {"start", "Zebra#17 application/vnd.cups-raw"},
                                               {"write", "6"},
                                               {"finish", "Zebra"}}));
}

TEST_F(CupsPrinterTransportTest, OptionsFollowFormatAndCopies) {
    EXPECT_EQ(CupsPrinterTransport::options(Format::raw, 3), (Options{{"raw", "true"}}));
    EXPECT_EQ(CupsPrinterTransport::options(Format::pdf, 1), Options{});
    EXPECT_EQ(CupsPrinterTransport::options(Format::pdf, 0), Options{});
    EXPECT_EQ(CupsPrinterTransport::options(Format::pdf, 3), (Options{{"copies", "3"}}));
    const auto submission = loop.run(transport.submit(bytesOf("%PDF-1.4"), "doc", Format::pdf, 2));
    EXPECT_EQ(submission, (CupsPrinterTransport::Submission{8, 17}));
    EXPECT_EQ(api->lastOptions(), (Options{{"copies", "2"}}));
    EXPECT_EQ(api->calls()[2], (Call{"start", "Zebra#17 application/pdf"}));
}

TEST_F(CupsPrinterTransportTest, AMissingQueueFailsBeforeAnyJob) {
    CupsPrinterTransport missing("zebra", api); // names are compared exactly
    const auto failure = testing::thrownBy<JobError>(loop.loop(), missing.write(bytesOf("x"), "t"));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, JobErrorCode::printerUnreachable);
    EXPECT_EQ(failure->description(), "CUPS queue \"zebra\" not found");
    EXPECT_EQ(api->calls(), (std::vector<Call>{{"destinations", ""}}));
}

TEST_F(CupsPrinterTransportTest, ARefusedJobIsNotCancelled) {
    api->createResult = 0;
    const auto failure = submitFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, JobErrorCode::printerError);
    EXPECT_EQ(failure->description(), "CUPS refused the job: unknown error");
    EXPECT_EQ(api->calls().back().what, "create");
}

TEST_F(CupsPrinterTransportTest, ARejectedDocumentCancelsTheJobAndKeepsItsOwnError) {
    api->startResult = 400;
    api->errorAfterStart = "Bad document";
    const auto failure = submitFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description(), "CUPS rejected the document: Bad document");
    EXPECT_EQ(api->calls().back(), (Call{"cancel", "Zebra#17"}));
}

TEST_F(CupsPrinterTransportTest, AFailedWriteStillFinishesThenCancels) {
    api->writeResult = 500;
    api->errorAfterWrite = "Broken pipe";
    api->errorAfterFinish = "client-error-bad-request";
    const auto failure = submitFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description(), "CUPS write failed: Broken pipe");
    const auto calls = api->calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].what, "finish");
    EXPECT_EQ(calls.back(), (Call{"cancel", "Zebra#17"}));
}

TEST_F(CupsPrinterTransportTest, AFailedFinishCarriesTheFinishError) {
    api->finishResult = 0x0400;
    api->errorAfterFinish = "Printer not accepting";
    const auto failure = submitFailure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description(), "CUPS write failed: Printer not accepting");
    EXPECT_EQ(api->calls().back().what, "cancel");
}

TEST_F(CupsPrinterTransportTest, TheQueueComesFromTheKey) {
    const auto fromPrefixed = CupsPrinterTransport::make(PrinterTarget{"cups:Zebra", "n", PrinterTransport::cups, {}});
    const auto fromBare = CupsPrinterTransport::make(PrinterTarget{"Zebra", "n", PrinterTransport::cups, {}});
    ASSERT_TRUE(fromPrefixed);
    ASSERT_TRUE(fromBare);
    EXPECT_EQ(fromPrefixed->queueName(), "Zebra");
    EXPECT_EQ(fromBare->queueName(), "Zebra");
    EXPECT_FALSE(CupsPrinterTransport::make(PrinterTarget{"cups:", "n", PrinterTransport::cups, {}}));
}

TEST_F(CupsPrinterTransportTest, ProbeIsOnlineOnlyForAnOnlineQueue) {
    EXPECT_TRUE(loop.run(transport.probe()));
    api->dests.clear();
    api->addQueue("Zebra", {{"printer-state", "5"}});
    EXPECT_EQ(loop.run(transport.probeDetail()), (ReachabilityProbe::Result{"error", "Queue is stopped"}));
    EXPECT_FALSE(loop.run(transport.probe()));
}

} // namespace
} // namespace varnel
