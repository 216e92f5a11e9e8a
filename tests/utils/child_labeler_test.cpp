// The hook through which a program labels the children it starts: asked in
// the parent for the owner's level, applied in the child before it executes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>

#include "integrity/integrity_labeler.h"
#include "integrity/platform_integrity.h"
#include "test_support.h"
#include "utils/process.h"

namespace {

using namespace Velk;
using VelkTest::readFile;
using VelkTest::TempDir;

// Writes what the child was given into a file, so the test sees it after the exec.
class RecordingLabeler : public Utils::ChildLabeler {
public:
    explicit RecordingLabeler(std::string recordFile) : record(std::move(recordFile)) {}

    std::optional<uint32_t> ownerLevel(uint32_t uid) const override { return uid + 1000; }

    void labelCurrentProcess(std::optional<uint32_t> level) const override {
        std::ofstream out(record);
        out << (level ? std::to_string(*level) : "none");
    }

private:
    std::string record;
};

class InstalledLabeler {
public:
    explicit InstalledLabeler(const Utils::ChildLabeler* labeler) { Utils::setChildLabeler(labeler); }
    ~InstalledLabeler() { Utils::setChildLabeler(nullptr); }
    InstalledLabeler(const InstalledLabeler&) = delete;
    InstalledLabeler& operator=(const InstalledLabeler&) = delete;
};

TEST(ChildLabeling, ChildWithOwnerGetsTheLevelTheParentLookedUp) {
    TempDir dir;
    const RecordingLabeler labeler((dir / "label").string());
    const InstalledLabeler installed(&labeler);
    ASSERT_TRUE(Utils::runChildProcessWait("/bin/true", {}, {}, "root", nullptr));
    EXPECT_EQ(readFile(dir / "label"), "1000");
}

TEST(ChildLabeling, ChildWithoutOwnerIsLabelledWithoutALevel) {
    TempDir dir;
    const RecordingLabeler labeler((dir / "label").string());
    const InstalledLabeler installed(&labeler);
    ASSERT_TRUE(Utils::runChildProcessWait("/bin/true", {}, {}, nullptr, nullptr));
    EXPECT_EQ(readFile(dir / "label"), "none");
}

TEST(ChildLabeling, WithoutALabelerNothingIsAsked) {
    TempDir dir;
    const RecordingLabeler labeler((dir / "label").string());
    Utils::setChildLabeler(nullptr);
    ASSERT_TRUE(Utils::runChildProcessWait("/bin/true", {}, {}, "root", nullptr));
    EXPECT_FALSE(std::filesystem::exists(dir / "label"));
}

TEST(PlatformIntegrity, StandInsReportTheModeOffAndNoRecords) {
    EXPECT_EQ(kalder_enabled(), 0);
    EXPECT_EQ(getmicuid(0), nullptr);
    EXPECT_EQ(mlb_get_pid(0), nullptr);

    // The kiosk's labeler on a platform without records still starts children.
    const IntegrityLabeler labeler;
    EXPECT_EQ(labeler.ownerLevel(0), std::nullopt);
    const InstalledLabeler installed(&labeler);
    TempDir dir;
    const auto log = (dir / "out").string();
    ASSERT_TRUE(Utils::runChildProcessWait("/bin/echo", {"labelled"}, {}, "root", log.c_str()));
    EXPECT_EQ(readFile(log), "labelled\n");
}

}  // namespace
