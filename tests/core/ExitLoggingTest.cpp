// Logging from other threads while the process exits: a timer that fires
// after main() has returned still logs safely, and the program ends cleanly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "TempDir.h"
#include "Wait.h"

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ExitLoggingTest, ATimerFiringDuringExitLogsAndTheProgramEndsCleanly) {
    testsupport::TempDir scratch;
    const std::string out = scratch.file("out.txt");
    const std::string logs = scratch.file("Logs");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::execl(LOGS_AT_EXIT_PATH, LOGS_AT_EXIT_PATH, logs.c_str(), nullptr);
        ::_exit(127);
    }
    const auto ended = testsupport::waitForExitOrKill(pid, std::chrono::minutes(1));
    ASSERT_TRUE(ended) << "the program did not end: " << readAll(out);
    const int status = *ended;
    const std::string output = readAll(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << output;
    EXPECT_EQ(output.find("AddressSanitizer"), std::string::npos) << output;

    // The lines logged after main() returned reach the file as well.
    std::string file;
    for (const auto& entry : std::filesystem::directory_iterator(logs)) file += readAll(entry.path());
    const auto exiting = file.find("LogsAtExit: exiting");
    ASSERT_NE(exiting, std::string::npos) << file;
    EXPECT_NE(file.find("MainQueue: no application object", exiting), std::string::npos) << file;
}

}  // namespace
