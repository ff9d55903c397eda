#include "platform/files/FileContentComparator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "testing/TempFolder.h"

namespace zorva {
namespace {

namespace fs = std::filesystem;

constexpr size_t kBlock = 16;

// No period, so that a block read at the wrong offset differs.
const std::string kText = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

auto openDescriptors() { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); }

// Every test also checks that each outcome closed what it opened: a queue that leaks a descriptor
// per comparison runs out of them within a day.
struct FileContentComparatorTest : testing::Test {
  void TearDown() override { EXPECT_EQ(openDescriptors(), _descriptorsBefore) << "leaked"; }

  std::string write(const std::string& name, const std::string& bytes) {
    std::ofstream(_folder / name) << bytes;
    return _folder / name;
  }
  // Asks both ways round: the tracker may name either file first.
  bool equal(const ComparedFile& a, const ComparedFile& b) {
    bool forward = _comparator.contentsEqual(a, b);
    EXPECT_EQ(_comparator.contentsEqual(b, a), forward) << a.path << " and " << b.path;
    return forward;
  }

  TempFolder _folder{"zorva-files"};
  FileContentComparator _comparator{kBlock};
  const long _descriptorsBefore = openDescriptors();
};

// Lengths either side of a block boundary catch a partial block lost or read twice; a changed
// byte at each edge of a block catches a block that is read but not compared; one more byte
// catches a comparison that stops where the shorter file ends.
TEST_F(FileContentComparatorTest, ComparesEveryByteAndTheSizeAroundBlockBoundaries) {
  fs::create_symlink(_folder / "a", _folder / "link");
  for (size_t length : {size_t{0}, size_t{1}, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock}) {
    SCOPED_TRACE(length);
    const std::string bytes = kText.substr(0, length);
    const std::string a = write("a", bytes);
    EXPECT_TRUE(equal(a, write("b", bytes)) && equal(_folder / "link", a));
    EXPECT_FALSE(equal(a, write("b", bytes + '\0')));
    for (size_t at : {size_t{0}, kBlock - 1, kBlock, length - 1}) {
      if (at >= length) continue;
      std::string changed = bytes;
      changed[at] ^= 1;
      EXPECT_FALSE(equal(a, write("b", changed))) << "byte " << at;
    }
  }
}

// Each is set against an empty file, so that only the refusal to read it, not a size, can make
// it unequal. Opening the FIFO must not wait for a writer that never comes; reading address 0 of
// the process's own memory fails with EIO. A size taken before a file grows or shrinks is what
// procfs (0 for a file that holds more) and sysfs (a page for a few bytes) report: bytes past the
// size must not go uncompared, nor two early ends pass for equal contents.
TEST_F(FileContentComparatorTest, AnythingButReadableRegularFilesOfTheirSizeIsUnequal) {
  const std::string empty = write("empty", "");
  ASSERT_EQ(mkfifo((_folder / "fifo").c_str(), 0644), 0);
  std::vector<std::string> others = {_folder / "missing", _folder.path(),   _folder / "fifo",
                                     "/dev/null",         "/proc/self/mem", "/proc/version"};
  if (geteuid() != 0) {  // root reads whatever the mode says
    fs::permissions(others.emplace_back(write("locked", "")), fs::perms::none);
  }
  const char* online = "/sys/devices/system/cpu/online";
  if (struct stat st; stat(online, &st) == 0 && st.st_size > 16) others.push_back(online);
  for (const std::string& other : others) {
    EXPECT_FALSE(equal(empty, other) || _comparator.contentsEqual(other, other)) << other;
  }
  std::ifstream version("/proc/version");
  EXPECT_FALSE(equal(write("copy", {std::istreambuf_iterator<char>(version), {}}),
                     std::string("/proc/version")));
}

// What a process read is what counts: a held descriptor still reads the file it was opened on
// after that file was removed and another file took its name, whatever the holder's offset.
TEST_F(FileContentComparatorTest, AHeldDescriptorReadsTheFileItWasOpenedOn) {
  const std::string bytes = kText.substr(0, 3 * kBlock + 5);
  const std::string source = write("source", bytes), copy = write("copy", bytes);
  int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  lseek(fd, 7, SEEK_SET);
  ComparedFile held{source, std::make_shared<const OpenFile>(fd, [](int open) { close(open); })};
  ASSERT_EQ(unlink(source.c_str()), 0);
  write("source", std::string(bytes).replace(0, 1, "x"));
  EXPECT_TRUE(equal(held, copy));
  EXPECT_FALSE(_comparator.contentsEqual(source, copy)) << "the name now holds other bytes";
  EXPECT_FALSE(_comparator.contentsEqual(held, write("copy", bytes + "!")));
}

}  // namespace
}  // namespace zorva
