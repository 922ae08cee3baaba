// The analytics kit's stored state: the defaults file a starting controller
// reads the last session and the last maintenance from.
// fuzz-links: tally
#include "FuzzSupport.h"
#include "base/Scheduler.h"
#include "kits/tally/BBXAnalyticsController.h"
#include "kits/trellis/BBXUserDefaults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::freshFile("BBXUserDefaults.plist", fuzzsupport::bytes(data, size));
    BBXUserDefaults store(fuzzsupport::scratch());
    // A clock of its own: no timer of one input fires during the next.
    base::Scheduler scheduler(std::make_shared<base::ManualTimeSource>());
    base::NotificationCenter center;
    BBXAnalyticsController::Environment environment;
    environment.defaults = &store;
    environment.scheduler = &scheduler;
    environment.notificationCenter = &center;
    auto controller = BBXAnalyticsController::create("FUZZ", fuzzsupport::scratch() + "/analytics", std::nullopt,
                                                     environment);
    if (!controller) return 0;
    controller->initialMaintenanceTimeWithFlushInterval(60);
    return 0;
}
