#include "platform/files/FileContentComparator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/files/testing/FakeContentComparator.h"

namespace zorva {
namespace {

namespace fs = std::filesystem;

constexpr size_t kBlock = 16;

std::string pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  return bytes;
}

std::ptrdiff_t openDescriptors() {
  return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

// Every test also checks that each outcome closed what it opened: a queue that leaks a descriptor
// per comparison runs out of them within a day.
class FileContentComparatorTest : public testing::Test {
 protected:
  FileContentComparatorTest() {
    char name[] = "/tmp/zorva-files-XXXXXX";
    folder_ = mkdtemp(name) ? name : "/nonexistent";
  }
  void TearDown() override { EXPECT_EQ(openDescriptors(), descriptorsBefore_) << "leaked"; }
  ~FileContentComparatorTest() override { fs::remove_all(folder_); }

  std::string write(const std::string& name, const std::string& bytes) {
    std::string path = folder_ + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
  }

  // Asks both ways round: the tracker may name either file first.
  bool equal(const std::string& a, const std::string& b) {
    bool forward = comparator_.contentsEqual(a, b);
    EXPECT_EQ(comparator_.contentsEqual(b, a), forward) << a << " and " << b;
    return forward;
  }

  std::string folder_;
  FileContentComparator comparator_{kBlock};
  const std::ptrdiff_t descriptorsBefore_ = openDescriptors();
};

// Lengths either side of a block boundary catch a partial block lost or read twice; a changed
// byte at each edge of a block catches a block that is read but not compared; one more byte
// (either way round) catches a comparison that stops where the shorter file ends.
TEST_F(FileContentComparatorTest, ComparesEveryByteAndTheSizeAroundBlockBoundaries) {
  for (size_t length : {size_t{0}, size_t{1}, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock}) {
    SCOPED_TRACE(length);
    const std::string bytes = pattern(length);
    const std::string a = write("a", bytes);
    EXPECT_TRUE(equal(a, write("b", bytes)));
    EXPECT_TRUE(comparator_.contentsEqual(a, a));
    EXPECT_FALSE(equal(a, write("b", bytes + '\0')));
    for (size_t at : {size_t{0}, kBlock - 1, kBlock, length - 1}) {
      if (at >= length) continue;
      std::string changed = bytes;
      changed[at] ^= 1;
      EXPECT_FALSE(equal(a, write("b", changed))) << "byte " << at;
    }
  }
}

TEST_F(FileContentComparatorTest, SymlinksAndTheDefaultBlockSizeReachTheLastByte) {
  FileContentComparator byDefault;
  std::string bytes = pattern(2 * FileContentComparator::kDefaultBlockSize + 1);
  const std::string link = folder_ + "/link";
  fs::create_symlink(write("a", bytes), link);
  EXPECT_TRUE(byDefault.contentsEqual(link, write("b", bytes)));
  EXPECT_TRUE(byDefault.contentsEqual(folder_ + "/b", link));
  bytes.back() ^= 1;
  EXPECT_FALSE(byDefault.contentsEqual(link, write("b", bytes)));
}

// Each is set against an empty file, so that only the refusal to read it, not a size, can make
// it unequal. Opening the FIFO must not wait for a writer that never comes; reading address 0 of
// the process's own memory fails with EIO.
TEST_F(FileContentComparatorTest, AnythingButReadableRegularFilesIsUnequal) {
  const std::string empty = write("empty", "");
  const std::string fifo = folder_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::vector<std::string> others = {folder_ + "/missing", folder_, fifo, "/dev/null",
                                     "/proc/self/mem"};
  if (geteuid() != 0) {  // root reads whatever the mode says
    others.push_back(write("locked", ""));
    ASSERT_EQ(chmod(others.back().c_str(), 0), 0);
  }
  for (const std::string& other : others) {
    EXPECT_FALSE(equal(empty, other)) << other;
    EXPECT_FALSE(comparator_.contentsEqual(other, other)) << other;
  }
}

// A size taken before the file grows or shrinks is what procfs (0 for a file that holds more)
// and sysfs (a page for a few bytes) report: bytes past the size must not go uncompared, nor two
// early ends pass for equal contents.
TEST_F(FileContentComparatorTest, AFileLongerOrShorterThanItsSizeIsUnequal) {
  const std::string version = "/proc/version";
  std::ifstream in(version);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  ASSERT_FALSE(text.empty());
  EXPECT_FALSE(equal(version, write("empty", "")));
  EXPECT_FALSE(equal(version, write("copy", text)));
  EXPECT_FALSE(comparator_.contentsEqual(version, version));

  const std::string online = "/sys/devices/system/cpu/online";
  struct stat status;
  if (stat(online.c_str(), &status) != 0 || status.st_size <= 16) GTEST_SKIP() << "needs sysfs";
  EXPECT_FALSE(comparator_.contentsEqual(online, online));
}

// What a process read is what counts: a held descriptor still reads the file it was opened on
// after that file was renamed and removed and another file took its name.
TEST_F(FileContentComparatorTest, AHeldDescriptorReadsTheFileItWasOpenedOn) {
  const std::string bytes = pattern(3 * kBlock + 5);
  const std::string source = write("source", bytes);
  const std::string copy = write("copy", bytes);
  int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  lseek(fd, 7, SEEK_SET);  // the holder's own offset must not matter
  auto held = std::make_shared<const OpenFile>(fd, [](int descriptor) { close(descriptor); });
  ASSERT_EQ(rename(source.c_str(), (folder_ + "/moved").c_str()), 0);
  ASSERT_EQ(unlink((folder_ + "/moved").c_str()), 0);
  write("source", pattern(3 * kBlock + 5).replace(0, 1, "x"));

  EXPECT_TRUE(comparator_.contentsEqual({source, held}, copy));
  EXPECT_TRUE(comparator_.contentsEqual(copy, {source, held}));
  EXPECT_FALSE(comparator_.contentsEqual(source, copy)) << "the name now holds other bytes";
  EXPECT_FALSE(comparator_.contentsEqual({source, held}, write("copy", bytes + "!")));
}

TEST(FakeContentComparatorTest, AnswersEitherOrderAndRecordsCallsAsGiven) {
  FakeContentComparator fake;
  fake.setEqual("/a", "/b");
  EXPECT_TRUE(fake.contentsEqual(std::string("/b"), std::string("/a")));
  EXPECT_FALSE(fake.contentsEqual(std::string("/a"), std::string("/c")));
  EXPECT_EQ(fake.calls(), (std::vector<FakeContentComparator::Call>{{"/b", "/a"}, {"/a", "/c"}}));
}

}  // namespace
}  // namespace zorva
