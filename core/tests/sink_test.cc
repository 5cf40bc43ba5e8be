#include "base/sink.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_util.h"

namespace halcyra {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::unique_ptr<FileSink> MustCreate(const std::string& path) {
  Result<std::unique_ptr<FileSink>> f = FileSink::Create(path);
  EXPECT_TRUE(f.ok()) << (f.ok() ? "" : f.error().message());
  return f.ok() ? std::move(*f) : nullptr;
}

mode_t Mode(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

void ExpectOsError(const Status& s, int errnum, const std::string& message) {
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().code(), ErrorCode::kOs);
  EXPECT_EQ(s.error().os_errno(), errnum);
  EXPECT_EQ(s.error().message(), message);
}

TEST(FileSink, WritesSmallAndLargeAppendsInOrder) {
  TempDir dir;
  std::string expected;
  auto sink = MustCreate(dir / "f");
  ASSERT_TRUE(sink);
  // Small pieces accumulate; a piece larger than the buffer goes straight
  // through after what is buffered.
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 1000; ++i) {
      const std::string piece = std::to_string(i) + ",";
      ASSERT_TRUE(sink->Append(piece).ok());
      expected += piece;
    }
    const std::string big(300000 + round, static_cast<char>('a' + round));
    ASSERT_TRUE(sink->Append(big).ok());
    expected += big;
  }
  ASSERT_TRUE(sink->Close().ok());
  EXPECT_TRUE(sink->Close().ok());  // a second Close does nothing
  EXPECT_EQ(ReadFile(dir / "f"), expected);
}

TEST(FileSink, TruncatesAndDestructorFlushes) {
  TempDir dir;
  WriteFile(dir / "f", "previous longer content");
  {
    auto sink = MustCreate(dir / "f");
    ASSERT_TRUE(sink);
    EXPECT_EQ(ReadFile(dir / "f"), "");
    ASSERT_TRUE(sink->Append("new").ok());
  }
  EXPECT_EQ(ReadFile(dir / "f"), "new");
}

TEST(FileSink, PermissionBitsFollowTheUmask) {
  TempDir dir;
  const mode_t old = ::umask(0);
  auto open = MustCreate(dir / "open");
  ASSERT_TRUE(CreateDirectories(dir / "d0/d1").ok());
  ::umask(027);
  auto masked = MustCreate(dir / "masked");
  ASSERT_TRUE(CreateDirectories(dir / "m0").ok());
  ::umask(old);
  EXPECT_EQ(Mode(dir / "open"), 0666u);
  EXPECT_EQ(Mode(dir / "masked"), 0640u);
  EXPECT_EQ(Mode(dir / "d0"), 0777u);
  EXPECT_EQ(Mode(dir / "d0/d1"), 0777u);
  EXPECT_EQ(Mode(dir / "m0"), 0750u);
}

TEST(FileSink, CreateReportsTheSystemError) {
  TempDir dir;
  Result<std::unique_ptr<FileSink>> missing = FileSink::Create(dir / "no/such/file");
  ASSERT_FALSE(missing.ok());
  ExpectOsError(missing.error(), 2, "No such file or directory (os error 2)");

  WriteFile(dir / "plain", "x");
  Result<std::unique_ptr<FileSink>> under_file = FileSink::Create(dir / "plain/f");
  ASSERT_FALSE(under_file.ok());
  ExpectOsError(under_file.error(), 20, "Not a directory (os error 20)");

  Result<std::unique_ptr<FileSink>> is_dir = FileSink::Create(dir.path());
  ASSERT_FALSE(is_dir.ok());
  ExpectOsError(is_dir.error(), 21, "Is a directory (os error 21)");
}

TEST(FileSink, WriteErrorsSurfaceOnAppendOrClose) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  {
    auto sink = MustCreate("/dev/full");
    ASSERT_TRUE(sink);
    ASSERT_TRUE(sink->Append("buffered").ok());
    ExpectOsError(sink->Close(), 28, "No space left on device (os error 28)");
    EXPECT_TRUE(sink->Close().ok());
  }
  {
    auto sink = MustCreate("/dev/full");
    ASSERT_TRUE(sink);
    ExpectOsError(sink->Append(std::string(1 << 20, 'x')), 28, "No space left on device (os error 28)");
    EXPECT_TRUE(sink->Close().ok());  // the failed bytes are not retried
  }
}

TEST(BufferSink, CollectsAndReleases) {
  BufferSink sink;
  ASSERT_TRUE(sink.Append("ab").ok());
  ASSERT_TRUE(sink.Append(std::string("\0c", 2)).ok());
  ASSERT_TRUE(sink.Close().ok());
  EXPECT_EQ(sink.bytes(), std::string("ab\0c", 4));
  EXPECT_EQ(sink.Release(), std::string("ab\0c", 4));
}

TEST(CreateDirectories, CreatesMissingParentsAndAcceptsExisting) {
  TempDir dir;
  ASSERT_TRUE(CreateDirectories(dir / "a/b/c").ok());
  EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
  EXPECT_TRUE(CreateDirectories(dir / "a/b/c").ok());
  EXPECT_TRUE(CreateDirectories(dir / "a/b").ok());
  EXPECT_TRUE(CreateDirectories(dir / "x//y/").ok());
  EXPECT_TRUE(std::filesystem::is_directory(dir / "x/y"));
  EXPECT_TRUE(CreateDirectories("").ok());
  EXPECT_TRUE(CreateDirectories("/").ok());
}

TEST(CreateDirectories, ReportsTheSystemError) {
  TempDir dir;
  WriteFile(dir / "plain", "x");
  ExpectOsError(CreateDirectories(dir / "plain/sub/deeper"), 20, "Not a directory (os error 20)");
  ExpectOsError(CreateDirectories(dir / "plain"), 17, "File exists (os error 17)");
  if (::geteuid() != 0) {
    ASSERT_TRUE(CreateDirectories(dir / "locked").ok());
    ASSERT_EQ(::chmod((dir / "locked").c_str(), 0555), 0);
    ExpectOsError(CreateDirectories(dir / "locked/a/b"), 13, "Permission denied (os error 13)");
    ::chmod((dir / "locked").c_str(), 0755);
  }
}

TEST(JoinPath, AddsOneSeparator) {
  EXPECT_EQ(JoinPath("out", "index.hys"), "out/index.hys");
  EXPECT_EQ(JoinPath("out/", "index.hys"), "out/index.hys");
  EXPECT_EQ(JoinPath("/", "index.hys"), "/index.hys");
  EXPECT_EQ(JoinPath("", "index.hys"), "index.hys");
}

}  // namespace
}  // namespace halcyra
