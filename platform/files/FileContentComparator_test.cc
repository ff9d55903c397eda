#include "platform/files/FileContentComparator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/files/FakeContentComparator.h"

namespace zorva {
namespace {

namespace fs = std::filesystem;

constexpr size_t kBlock = 16;

std::string pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  return bytes;
}

class FileContentComparatorTest : public testing::Test {
 protected:
  FileContentComparatorTest() {
    char name[] = "/tmp/zorva-files-XXXXXX";
    folder_ = mkdtemp(name) ? name : "/nonexistent";
  }
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
};

// Lengths either side of a block boundary catch a partial block lost or read twice; a changed
// byte at each edge of a block catches a block that is read but not compared.
TEST_F(FileContentComparatorTest, ComparesEveryByteAroundBlockBoundaries) {
  for (size_t length : {size_t{0}, size_t{1}, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock}) {
    SCOPED_TRACE(length);
    const std::string bytes = pattern(length);
    const std::string a = write("a", bytes);
    EXPECT_TRUE(equal(a, write("b", bytes)));
    for (size_t at : {size_t{0}, kBlock - 1, kBlock, length - 1}) {
      if (at >= length) continue;
      std::string changed = bytes;
      changed[at] ^= 1;
      EXPECT_FALSE(equal(a, write("b", changed))) << "byte " << at;
    }
  }
}

TEST_F(FileContentComparatorTest, DefaultBlockSizeReachesTheLastByte) {
  FileContentComparator comparator;
  std::string bytes = pattern(2 * FileContentComparator::kDefaultBlockSize + 1);
  const std::string a = write("a", bytes);
  EXPECT_TRUE(comparator.contentsEqual(a, write("b", bytes)));
  bytes.back() ^= 1;
  EXPECT_FALSE(comparator.contentsEqual(a, write("b", bytes)));
}

TEST_F(FileContentComparatorTest, FilesOfDifferentSizesAreUnequalEvenWhenOneIsAPrefix) {
  const std::string bytes = pattern(2 * kBlock);
  const std::string whole = write("whole", bytes);
  EXPECT_FALSE(equal(whole, write("prefix", bytes.substr(0, bytes.size() - 1))));
  EXPECT_FALSE(equal(whole, write("longer", bytes + '\0')));
  EXPECT_FALSE(equal(write("empty", ""), write("zero", std::string(1, '\0'))));
}

TEST_F(FileContentComparatorTest, SamePathAndSymlinksAreReadLikeAnyFile) {
  const std::string file = write("file", pattern(3 * kBlock + 1));
  const std::string link = folder_ + "/link";
  fs::create_symlink(file, link);
  EXPECT_TRUE(comparator_.contentsEqual(file, file));
  EXPECT_TRUE(equal(file, link));
}

// Each is set against an empty file, so that only the refusal to read it, not a size, can make
// it unequal. Opening the FIFO must not wait for a writer that never comes.
TEST_F(FileContentComparatorTest, AnythingButReadableRegularFilesIsUnequal) {
  const std::string empty = write("empty", "");
  const std::string fifo = folder_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string others[] = {folder_ + "/missing", folder_, fifo, "/dev/null"};
  for (const std::string& other : others) {
    EXPECT_FALSE(equal(empty, other)) << other;
    EXPECT_FALSE(comparator_.contentsEqual(other, other)) << other;
  }
  if (geteuid() != 0) {  // root reads whatever the mode says
    const std::string locked = write("locked", "");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_FALSE(equal(empty, locked));
  }
  // Reading address 0 of the process's own memory fails with EIO.
  EXPECT_FALSE(equal(empty, "/proc/self/mem"));
}

// procfs reports a size of 0 for a file that holds more, as a file that grows after its size is
// taken would: the bytes past the size were never compared.
TEST_F(FileContentComparatorTest, AFileLongerThanItsSizeIsUnequal) {
  const std::string version = "/proc/version";
  std::ifstream in(version);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  ASSERT_FALSE(text.empty());
  EXPECT_FALSE(equal(version, write("empty", "")));
  EXPECT_FALSE(equal(version, write("copy", text)));
  EXPECT_FALSE(comparator_.contentsEqual(version, version));
}

// sysfs reports a page for a file of a few bytes, as a file truncated after its size is taken
// would: it ends before its size, and the two early ends must not pass for equal contents.
TEST_F(FileContentComparatorTest, AFileShorterThanItsSizeIsUnequal) {
  const std::string online = "/sys/devices/system/cpu/online";
  struct stat status;
  if (stat(online.c_str(), &status) != 0 || status.st_size <= 16) {
    GTEST_SKIP() << "needs sysfs";
  }
  EXPECT_FALSE(comparator_.contentsEqual(online, online));
}

// A queue that leaks a descriptor per comparison runs out of them within a day.
TEST_F(FileContentComparatorTest, ClosesEveryFileItOpensOnEveryOutcome) {
  auto openFiles = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  const std::string bytes = pattern(2 * kBlock);
  const std::string a = write("a", bytes);
  const std::string same = write("same", bytes);
  const std::string shorter = write("shorter", bytes.substr(1));
  const std::string changed = write("changed", bytes.substr(1) + "!");
  const auto before = openFiles();
  for (const std::string& other : {same, shorter, changed, folder_, folder_ + "/missing",
                                   std::string("/proc/version"), std::string("/proc/self/mem")}) {
    comparator_.contentsEqual(a, other);
    comparator_.contentsEqual(other, a);
  }
  EXPECT_EQ(openFiles(), before);
}

TEST(FakeContentComparatorTest, AnswersEitherOrderAndRecordsCallsAsGiven) {
  FakeContentComparator fake;
  fake.setEqual("/a", "/b");
  EXPECT_TRUE(fake.contentsEqual("/b", "/a"));
  EXPECT_FALSE(fake.contentsEqual("/a", "/c"));
  EXPECT_EQ(fake.calls(), (std::vector<FakeContentComparator::Call>{{"/b", "/a"}, {"/a", "/c"}}));
}

}  // namespace
}  // namespace zorva
