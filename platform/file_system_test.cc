#include "platform/file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>

#include "testing/test_util.h"

namespace norv {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Dates the file's modification time `seconds` from now (negative: past).
void SetAge(const std::string& path, int seconds_ago) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  timespec times[2] = {now, now};
  times[1].tv_sec -= seconds_ago;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

FileInfo Find(const std::vector<FileInfo>& files, const std::string& name) {
  auto it = std::find_if(files.begin(), files.end(),
                         [&](const FileInfo& f) { return f.Name == name; });
  return it == files.end() ? FileInfo{} : *it;
}

TEST(PlatformFileSystem, ListsRegularFilesWithPathSizeAndAttributes) {
  TempDir dir;
  FileSystem& fs = PlatformFileSystem();
  WriteFile(dir / "old.HL7", "abc");
  SetAge(dir / "old.HL7", 60);
  WriteFile(dir / "fresh.HL7", "");
  WriteFile(dir / "locked.HL7", "x");
  SetAge(dir / "locked.HL7", 60);
  chmod((dir / "locked.HL7").c_str(), 0444);
  WriteFile(dir / "future.HL7", "x");
  SetAge(dir / "future.HL7", -3600);
  std::filesystem::create_directory(dir / "failed");

  std::vector<FileInfo> files;
  for (const std::string& folder : {dir.path(), dir.path() + "/"}) {
    ASSERT_TRUE(fs.ListFiles(folder, files).ok());
    ASSERT_EQ(files.size(), 4u) << folder;  // the sub-folder is not a file
    FileInfo old = Find(files, "old.HL7");
    EXPECT_TRUE(old.Examined);
    EXPECT_EQ(old.Path, dir / "old.HL7");
    EXPECT_EQ(old.Size, 3u);
    EXPECT_EQ(old.Attributes, 0u);
    EXPECT_EQ(Find(files, "fresh.HL7").Attributes, kAttrArchive);
    EXPECT_EQ(Find(files, "locked.HL7").Attributes, kAttrReadOnly);
    // A file dated far ahead is not "being written" forever.
    EXPECT_EQ(Find(files, "future.HL7").Attributes, 0u);
  }
  EXPECT_EQ(fs.ListFiles(dir / "missing", files).error, ENOENT);
}

TEST(PlatformFileSystem, OnlyFilesTheFilterAcceptsAreExamined) {
  TempDir dir;
  FileSystem& fs = PlatformFileSystem();
  WriteFile(dir / "1.HL7", "abc");
  WriteFile(dir / "note.txt", "abcd");
  std::filesystem::create_directory(dir / "sub.HL7");
  std::filesystem::create_symlink(dir / "1.HL7", dir / "link.txt");
  std::filesystem::create_symlink(dir / "sub.HL7", dir / "dirlink.HL7");
  std::filesystem::create_symlink(dir / "nowhere", dir / "dangling.HL7");

  std::vector<FileInfo> files;
  std::vector<std::string> asked;
  ASSERT_TRUE(fs.ListFiles(dir.path(), files, [&](std::string_view name) {
                  asked.emplace_back(name);
                  return name.ends_with(".HL7");
                }).ok());
  std::sort(files.begin(), files.end(),
            [](const FileInfo& a, const FileInfo& b) { return a.Name < b.Name; });
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].Name, "1.HL7");
  EXPECT_TRUE(files[0].Examined);
  EXPECT_EQ(files[0].Size, 3u);
  EXPECT_EQ(files[1].Name, "note.txt");
  EXPECT_FALSE(files[1].Examined);
  EXPECT_EQ(files[1].Size, 0u);
  EXPECT_EQ(files[1].Path, dir / "note.txt");
  // Folders are never offered to the filter.
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "sub.HL7"), 0);
}

TEST(PlatformFileSystem, NamesOneFileAndFolderStampsWithoutAListing) {
  TempDir dir;
  FileSystem& fs = PlatformFileSystem();
  WriteFile(dir / "1.HL7", "abc");
  SetAge(dir / "1.HL7", 60);
  std::filesystem::create_directory(dir / "sub.HL7");
  std::filesystem::create_symlink(dir / "sub.HL7", dir / "dirlink.HL7");
  std::filesystem::create_symlink(dir / "1.HL7", dir / "link.HL7");

  std::vector<std::pair<std::string, bool>> names;
  ASSERT_TRUE(fs.ListNames(dir.path(), [&](std::string_view name, bool regular) {
                  names.emplace_back(name, regular);
                }).ok());
  std::sort(names.begin(), names.end());
  // Folders are left out; links pass as "not known to be a file".
  EXPECT_EQ(names, (std::vector<std::pair<std::string, bool>>{
                       {"1.HL7", true}, {"dirlink.HL7", false}, {"link.HL7", false}}));

  FileInfo info;
  ASSERT_TRUE(fs.StatFile(dir / "1.HL7", info).ok());
  EXPECT_EQ(info.Size, 3u);
  EXPECT_EQ(info.Attributes, 0u);
  EXPECT_EQ(info.Path, dir / "1.HL7");
  EXPECT_EQ(fs.StatFile(dir / "link.HL7", info).error, EINVAL);  // a link is no file to take
  EXPECT_EQ(fs.StatFile(dir / "dirlink.HL7", info).error, EINVAL);
  EXPECT_EQ(fs.StatFile(dir / "2.HL7", info).error, ENOENT);

  FolderStamp before, after;
  ASSERT_TRUE(fs.GetFolderStamp(dir.path(), before).ok());
  struct timespec pause = {0, 20'000'000};
  nanosleep(&pause, nullptr);  // past the clock's granularity
  WriteFile(dir / "2.HL7", "x");
  ASSERT_TRUE(fs.GetFolderStamp(dir.path() + "/", after).ok());
  EXPECT_NE(before.ModifiedNs, after.ModifiedNs);
  EXPECT_EQ(before.Inode, after.Inode);
  EXPECT_EQ(fs.GetFolderStamp(dir / "1.HL7", after).error, ENOTDIR);
}

// A link planted in a folder the program scans is not a file to take, be it
// a link to a file inside, to one outside, to a folder or to nowhere.
TEST(PlatformFileSystem, LinksAreNeverListed) {
  TempDir dir, outside;
  FileSystem& fs = PlatformFileSystem();
  WriteFile(dir / "1.HL7", "MSH");
  WriteFile(outside / "secret", "x");
  std::filesystem::create_symlink(dir / "1.HL7", dir / "2.HL7");
  std::filesystem::create_symlink(outside / "secret", dir / "7.HL7");
  std::filesystem::create_symlink(outside.path(), dir / "8.HL7");
  std::filesystem::create_symlink(dir / "nowhere", dir / "9.HL7");
  ASSERT_EQ(mkfifo((dir / "pipe.HL7").c_str(), 0600), 0);
  std::vector<FileInfo> files;
  for (const ExamineFilter& examine : {ExamineFilter(), ExamineFilter([](std::string_view) {
                                         return false;
                                       })}) {
    ASSERT_TRUE(fs.ListFiles(dir.path(), files, examine).ok());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].Name, "1.HL7");
  }
}

// Nothing the program writes or changes goes through a link planted at the
// destination: the link's target keeps its content and its permissions.
TEST(PlatformFileSystem, WritesNeverGoThroughALinkAtTheDestination) {
  struct Case {
    const char* what;
    std::function<FsStatus(FileSystem&, const std::string& from, const std::string& to)> write;
    int error;           // expected outcome
    bool link_replaced;  // the link itself gave way to the new file
  } cases[] = {
      {"copy with overwrite",
       [](FileSystem& fs, const std::string& f, const std::string& t) {
         return fs.CopyFileTo(f, t, true);
       },
       0, true},
      {"copy", [](FileSystem& fs, const std::string& f, const std::string& t) {
         return fs.CopyFileTo(f, t, false);
       },
       EEXIST, false},
      {"move", [](FileSystem& fs, const std::string& f, const std::string& t) {
         return fs.MoveFileTo(f, t);
       },
       EEXIST, false},
  };
  FileSystem& fs = PlatformFileSystem();
  for (const Case& c : cases) {
    TempDir dir, outside;
    std::string target = outside / "installation.db";
    WriteFile(target, "database");
    std::filesystem::create_directory(dir / "week");
    std::filesystem::create_symlink(target, dir / "week/30.HL7");
    WriteFile(dir / "30.HL7", "MSH|message");

    EXPECT_EQ(c.write(fs, dir / "30.HL7", dir / "week/30.HL7").error, c.error) << c.what;
    EXPECT_EQ(ReadFile(target), "database") << c.what;
    EXPECT_EQ(std::filesystem::is_symlink(dir / "week/30.HL7"), !c.link_replaced) << c.what;
    if (c.link_replaced) {
      EXPECT_EQ(ReadFile(dir / "week/30.HL7"), "MSH|message") << c.what;
    }
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "week"),
                            std::filesystem::directory_iterator()),
              1)
        << c.what;

    // A link in place of the destination folder is not followed either.
    std::filesystem::create_symlink(outside.path(), dir / "linked");
    EXPECT_FALSE(c.write(fs, dir / "30.HL7", dir / "linked/30.HL7").ok()) << c.what;
    EXPECT_FALSE(Exists(outside / "30.HL7")) << c.what;
  }
}

TEST(PlatformFileSystem, LinksAreNeitherReadNorChanged) {
  TempDir dir, outside;
  FileSystem& fs = PlatformFileSystem();
  std::string target = outside / "file";
  WriteFile(target, "outside");
  ASSERT_EQ(chmod(target.c_str(), 0444), 0);
  std::filesystem::create_symlink(target, dir / "7.HL7");
  std::string bytes;
  EXPECT_EQ(fs.ReadWholeFile(dir / "7.HL7", bytes).error, ELOOP);
  EXPECT_EQ(bytes, "");
  EXPECT_EQ(fs.SetAttributes(dir / "7.HL7", 0).error, ELOOP);
  EXPECT_EQ(fs.CopyFileTo(dir / "7.HL7", dir / "copy", false).error, ELOOP);
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  // A pipe is not read (nor waited on).
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(fs.ReadWholeFile(dir / "pipe", bytes).error, EINVAL);
}

TEST(PlatformFileSystem, KindOfDoesNotFollowLinks) {
  TempDir dir;
  FileSystem& fs = PlatformFileSystem();
  WriteFile(dir / "file", "x");
  std::filesystem::create_directory(dir / "folder");
  std::filesystem::create_symlink(dir / "folder", dir / "link");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(fs.KindOf(dir / "file"), PathKind::kFile);
  EXPECT_EQ(fs.KindOf(dir / "folder"), PathKind::kFolder);
  EXPECT_EQ(fs.KindOf(dir / "link"), PathKind::kLink);
  EXPECT_EQ(fs.KindOf(dir / "pipe"), PathKind::kOther);
  EXPECT_EQ(fs.KindOf(dir / "none"), PathKind::kMissing);
  EXPECT_EQ(fs.KindOf(""), PathKind::kMissing);
}

TEST(PlatformFileSystem, AttributeWordZeroGrantsWriteAndReadOnlyFilesDelete) {
  TempDir dir;
  FileSystem& fs = PlatformFileSystem();
  std::string path = dir / "1.HL7";
  WriteFile(path, "x");
  ASSERT_TRUE(fs.SetAttributes(path, kAttrReadOnly).ok());
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  ASSERT_TRUE(fs.SetAttributes(path, 0).ok());
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);

  ASSERT_TRUE(fs.SetAttributes(path, kAttrReadOnly).ok());
  EXPECT_TRUE(fs.RemoveFile(path).ok());
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(fs.RemoveFile(path).error, ENOENT);
  EXPECT_EQ(fs.SetAttributes(path, 0).error, ENOENT);
}

TEST(PlatformFileSystem, ExistenceTestsTellFoldersFromFiles) {
  TempDir dir;
  FileSystem& fs = PlatformFileSystem();
  WriteFile(dir / "f", "x");
  EXPECT_TRUE(fs.FileExists(dir / "f") && !fs.FolderExists(dir / "f"));
  EXPECT_TRUE(fs.FolderExists(dir.path()) && !fs.FileExists(dir.path()));
  EXPECT_EQ(fs.CreateFolder(dir / "x/y").error, ENOENT);  // one level only
}

TEST(PlatformFileSystem, MoveNeverReplacesAndCopyReplacesOnlyWhenAsked) {
  TempDir dir;
  FileSystem& fs = PlatformFileSystem();
  WriteFile(dir / "new", "new");
  WriteFile(dir / "old", "old");

  EXPECT_EQ(fs.MoveFileTo(dir / "new", dir / "old").error, EEXIST);
  EXPECT_EQ(ReadFile(dir / "old"), "old");
  EXPECT_EQ(fs.CopyFileTo(dir / "new", dir / "old", false).error, EEXIST);
  EXPECT_EQ(ReadFile(dir / "old"), "old");
  // Run as root, a copy keeps the original's owner (requeued files stay
  // the sender's).
  if (geteuid() == 0) {
    ASSERT_EQ(chown((dir / "new").c_str(), 65534, 65534), 0);
  }
  ASSERT_TRUE(fs.CopyFileTo(dir / "new", dir / "old", true).ok());
  EXPECT_EQ(ReadFile(dir / "old"), "new");
  struct stat copied {};
  ASSERT_EQ(stat((dir / "old").c_str(), &copied), 0);
  EXPECT_EQ(copied.st_uid, geteuid() == 0 ? 65534u : geteuid());

  // A folder's entries can be flushed; a missing folder says so.
  EXPECT_TRUE(fs.SyncFolder(dir.path()).ok());
  EXPECT_EQ(fs.SyncFolder(dir / "none").error, ENOENT);

  ASSERT_TRUE(fs.MoveFileTo(dir / "new", dir / "moved").ok());
  EXPECT_FALSE(Exists(dir / "new"));
  EXPECT_EQ(ReadFile(dir / "moved"), "new");
  EXPECT_EQ(fs.MoveFileTo(dir / "new", dir / "again").error, ENOENT);
}

TEST(PlatformFileSystem, AtomicWritesReplaceLinksAndSetTheModeAsked) {
  TempDir dir;
  FileSystem& fs = PlatformFileSystem();
  WriteFile(dir / "victim", "keep");
  std::filesystem::create_symlink(dir / "victim", dir / "metrics.prom");
  std::filesystem::create_symlink(dir / "victim", dir / "metrics.prom.part");
  const mode_t old_mask = umask(0027);
  FsStatus plain = fs.WriteFileAtomically(dir / "plain", "p");
  FsStatus shared = fs.WriteFileAtomically(dir / "metrics.prom", "new", {}, 0644);
  umask(old_mask);
  ASSERT_TRUE(plain.ok() && shared.ok());
  // Neither the target link nor a link planted on the temporary name is
  // followed; no temporary file is left.
  EXPECT_EQ(ReadFile(dir / "victim"), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "metrics.prom"));
  EXPECT_EQ(ReadFile(dir / "metrics.prom"), "new");
  EXPECT_FALSE(Exists(dir / "metrics.prom.part"));
  struct stat st;
  ASSERT_EQ(stat((dir / "metrics.prom").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(stat((dir / "plain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_FALSE(fs.WriteFileAtomically(dir / "missing/x", "y", {}, 0644).ok());
}

TEST(PlatformFileSystem, ReadsEveryByte) {
  TempDir dir;
  FileSystem& fs = PlatformFileSystem();
  std::string bytes("MSH|\0\xE4\xFF\r\n", 9);
  std::string big(3 * 1024 * 1024 + 7, '\x01');
  WriteFile(dir / "small", bytes);
  WriteFile(dir / "big", big);
  WriteFile(dir / "empty", "");
  std::string out = "stale";
  ASSERT_TRUE(fs.ReadWholeFile(dir / "small", out).ok());
  EXPECT_EQ(out, bytes);
  ASSERT_TRUE(fs.ReadWholeFile(dir / "big", out).ok());
  EXPECT_EQ(out, big);
  ASSERT_TRUE(fs.ReadWholeFile(dir / "empty", out).ok());
  EXPECT_EQ(out, "");
  EXPECT_EQ(fs.ReadWholeFile(dir / "missing", out).error, ENOENT);
  EXPECT_FALSE(fs.ReadWholeFile(dir.path(), out).ok());
}

}  // namespace
}  // namespace norv
