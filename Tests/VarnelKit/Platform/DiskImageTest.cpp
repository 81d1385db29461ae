// Unpacking update images made at test time, hostile ones included.
#include "VarnelKit/Platform/DiskImage.hpp"

#include "TemporaryDirectory.hpp"
#include "UpdateImage.hpp"

#include <cstdlib>
#include <gtest/gtest.h>

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace varnel::testing;
using fs::perms;

class DiskImageTest : public ::testing::Test {
protected:
    // A mount point a few folders down, so that "../" in an image has somewhere to land.
    void SetUp() override {
        mountPoint = temporary.path() / "a" / "b" / "mount";
        fs::create_directories(mountPoint);
    }

    // Every entry below the temporary folder outside the mount point, besides the image itself.
    std::vector<fs::path> strayEntries() const {
        std::vector<fs::path> found;
        for (auto it = fs::recursive_directory_iterator(temporary.path());
             it != fs::recursive_directory_iterator(); ++it) {
            const fs::path& p = it->path();
            if (p == image || p == mountPoint)
                continue;
            if (p == temporary.path() / "a" || p == temporary.path() / "a" / "b")
                continue;
            found.push_back(p);
        }
        return found;
    }

    // Attaching must fail with a reason and leave the mount point empty and nothing elsewhere.
    std::string refusedReason() {
        std::string reason;
        try {
            DiskImage().attach(image, mountPoint);
            ADD_FAILURE() << "the image was unpacked";
        } catch (const DiskImage::Failure& failure) {
            reason = failure.description();
        }
        EXPECT_TRUE(fs::is_directory(mountPoint));
        EXPECT_TRUE(fs::is_empty(mountPoint)) << reason;
        EXPECT_EQ(strayEntries(), std::vector<fs::path>()) << reason;
        return reason;
    }

    TemporaryDirectory temporary;
    fs::path image = temporary.path() / "Varnel-2.4.0.dmg";
    fs::path mountPoint;
};

TEST_F(DiskImageTest, AttachUnpacksTheVolumeWithModesAndLinksAndDetachRemovesIt) {
    writeImage(image, releaseBundle());
    DiskImage().attach(image, mountPoint);

    const fs::path app = mountPoint / "Varnel.app";
    EXPECT_EQ(readFile(app / "bin" / "VarnelMenuBar"), "#!/bin/sh\necho 2.4.0\n");
    EXPECT_EQ(permsOf(app / "bin" / "VarnelMenuBar"), perms(0750));
    EXPECT_EQ(permsOf(app / "share" / "version"), perms(0640));
    EXPECT_EQ(permsOf(app / "share"), perms(0555));
    EXPECT_EQ(permsOf(app), perms(0755));
    ASSERT_TRUE(fs::is_symlink(app / "current"));
    EXPECT_EQ(fs::read_symlink(app / "current"), "bin/VarnelMenuBar");
    EXPECT_EQ(fs::read_symlink(app / "bin" / "version"), "../share/version");
    EXPECT_EQ(readFile(app / "bin" / "version"), "2.4.0");

    // The read-only folder is no obstacle to detaching.
    DiskImage().detach(mountPoint);
    EXPECT_FALSE(fs::exists(mountPoint));
}

TEST_F(DiskImageTest, AnImageMadeByTheReleaseToolUnpacksTheSame) {
    const fs::path source = temporary.path() / "source";
    fs::create_directories(source / "Varnel.app" / "bin");
    writeFile(source / "Varnel.app" / "bin" / "VarnelMenuBar", "#!/bin/sh\n");
    fs::permissions(source / "Varnel.app" / "bin" / "VarnelMenuBar", perms(0755));
    fs::create_symlink("bin/VarnelMenuBar", source / "Varnel.app" / "current");
    const std::string command = "xorriso -as mkisofs -quiet -V Varnel -R -J -hfsplus -o '" + image.string() +
                                "' '" + source.string() + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << "xorriso is needed (scripts/bootstrap installs it)";
    fs::remove_all(source);

    DiskImage().attach(image, mountPoint);
    const fs::path app = mountPoint / "Varnel.app";
    EXPECT_EQ(readFile(app / "bin" / "VarnelMenuBar"), "#!/bin/sh\n");
    EXPECT_EQ(permsOf(app / "bin" / "VarnelMenuBar") & perms::owner_exec, perms::owner_exec);
    EXPECT_EQ(fs::read_symlink(app / "current"), "bin/VarnelMenuBar");
}

TEST_F(DiskImageTest, SetIdBitsAreDropped) {
    writeImage(image, {folder("Varnel.app"), file("Varnel.app/tool", 06755, "x")});
    DiskImage().attach(image, mountPoint);
    EXPECT_EQ(permsOf(mountPoint / "Varnel.app" / "tool"), perms(0755));
}

TEST_F(DiskImageTest, GarbageAndMissingImagesAreRefusedWithTheLibrarysReason) {
    writeFile(image, "this is not a disk image at all, just some words\n");
    EXPECT_NE(refusedReason(), "");

    fs::remove(image);
    EXPECT_NE(refusedReason(), "");
}

// Names that no writer produces are forged into the image's Rock Ridge names, which is what a
// reader sees; the marker must not occur elsewhere in the bytes.
TEST_F(DiskImageTest, PathsThatClimbOutOrAreAbsoluteAreRefusedBeforeAnythingIsWritten) {
    writeImage(image, {folder("Varnel.app"), file("Varnel.app/qzqzqzqzqzqzqzqz", 0644, "x")});
    ASSERT_EQ(forge(image, "qzqzqzqzqzqzqzqz", "../../../../evil"), 1);
    EXPECT_NE(refusedReason().find("leads outside the disk image"), std::string::npos);

    const fs::path absolute = temporary.path() / "abs";
    const std::string marker(absolute.string().size(), 'q');
    writeImage(image, {file(marker, 0644, "x")});
    ASSERT_EQ(forge(image, marker, absolute.string()), 1);
    EXPECT_NE(refusedReason().find("is an absolute path"), std::string::npos);
    EXPECT_FALSE(fs::exists(absolute));
}

TEST_F(DiskImageTest, LinksThatLeadOutAreRefused) {
    const std::vector<std::pair<std::string, std::string>> links = {
        {"Varnel.app/passwd", "/etc/passwd"},
        {"Varnel.app/up", "../../escape"},
        {"Varnel.app/bin/up", "../../../escape"},
        // "root" leads to the volume root, so ".." after it climbs out, though "root/.." read as
        // text stays inside.
        {"Varnel.app/through", "root/../escape"},
    };
    for (const auto& [path, target] : links) {
        SCOPED_TRACE(path + " -> " + target);
        writeImage(image, {folder("Varnel.app"), folder("Varnel.app/bin"), link("Varnel.app/root", ".."),
                           link(path, target)});
        EXPECT_NE(refusedReason().find("points outside the disk image"), std::string::npos);
    }
}

TEST_F(DiskImageTest, SpecialFilesAreRefused) {
    writeImage(image, {folder("Varnel.app"), {"Varnel.app/pipe", ImageEntry::Kind::fifo, 0644, ""}});
    EXPECT_NE(refusedReason().find("neither a file, a folder nor a link"), std::string::npos);
}

TEST(DiskImageRefusal, JudgesNamesAndLinkTargetsWithinTheVolume) {
    EXPECT_EQ(DiskImage::refusal("Varnel.app/bin/VarnelMenuBar", std::nullopt), std::nullopt);
    EXPECT_EQ(DiskImage::refusal("./Varnel.app/./bin", std::nullopt), std::nullopt);
    EXPECT_EQ(DiskImage::refusal("Varnel.app/..hidden", std::nullopt), std::nullopt);
    EXPECT_NE(DiskImage::refusal("Varnel.app/../../x", std::nullopt), std::nullopt);
    EXPECT_NE(DiskImage::refusal("..", std::nullopt), std::nullopt);
    EXPECT_NE(DiskImage::refusal("/etc/passwd", std::nullopt), std::nullopt);

    // A link may climb as far as the volume root, never beyond it.
    EXPECT_EQ(DiskImage::refusal("Varnel.app/bin/tool", std::string_view("../../Varnel.app/x")),
              std::nullopt);
    EXPECT_EQ(DiskImage::refusal("Varnel.app/self", std::string_view("..")), std::nullopt);
    EXPECT_EQ(DiskImage::refusal("Varnel.app/x", std::string_view("./lib/./y")), std::nullopt);
    EXPECT_NE(DiskImage::refusal("Varnel.app/bin/tool", std::string_view("../../../x")), std::nullopt);
    EXPECT_NE(DiskImage::refusal("top", std::string_view("..")), std::nullopt);
    EXPECT_NE(DiskImage::refusal("Varnel.app/x", std::string_view("lib/../y")), std::nullopt);
    EXPECT_NE(DiskImage::refusal("Varnel.app/x", std::string_view("")), std::nullopt);
    EXPECT_NE(DiskImage::refusal("Varnel.app/x", std::string_view("/usr/lib")), std::nullopt);
}

} // namespace
} // namespace varnel
