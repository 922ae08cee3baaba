// A report directory's metadata, as an earlier (perhaps crashed) run left it.
// fuzz-links: blackbox
#include "FuzzSupport.h"
#include "kits/blackbox/BBXInternalReport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::freshFile("report/metadata.bbxrecord", fuzzsupport::bytes(data, size));
    auto report = BBXInternalReport::reportWithPath(fuzzsupport::scratch() + "/report");
    if (!report) return 0;
    report->APIKey();
    report->bundleVersion();
    report->bundleShortVersionString();
    report->dateCreated();
    report->OSVersion();
    report->OSBuildVersion();
    report->isCrash();
    report->needsToBeSubmitted();
    return 0;
}
