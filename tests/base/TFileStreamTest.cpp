// File streams: open modes, truncation, errors that name the file, descriptor hygiene and
// transfers that the kernel splits into pieces.
#include "base/TFileStream.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/Exception.h"
#include "base/TMemoryStream.h"

namespace {

namespace fs = std::filesystem;

// Aborts the test program if a blocking call does not come back in time, so a hang fails
// instead of wedging the run.
class Tripwire {
 public:
  explicit Tripwire(std::chrono::seconds Limit)
      : FThread([this, Limit] {
          std::unique_lock Lock(FMutex);
          if (!FDone.wait_for(Lock, Limit, [this] { return FStop; })) {
            std::cerr << "tripwire: test still blocked after " << Limit.count() << " s\n";
            std::abort();
          }
        }) {}
  ~Tripwire() {
    {
      std::lock_guard Lock(FMutex);
      FStop = true;
    }
    FDone.notify_one();
    FThread.join();
  }

 private:
  std::mutex FMutex;
  std::condition_variable FDone;
  bool FStop = false;
  std::thread FThread;
};

class FileStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string Pattern = (fs::temp_directory_path() / "orrery-base-XXXXXX").string();
    ASSERT_NE(::mkdtemp(Pattern.data()), nullptr);
    Dir = Pattern;
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string PathOf(const std::string& Name) const { return (Dir / Name).string(); }
  std::string Contents(const std::string& Path) const {
    std::ifstream In(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), {});
  }
  void Put(TStream& S, const std::string& Text) {
    S.WriteBuffer(Text.data(), static_cast<std::int64_t>(Text.size()));
  }

  fs::path Dir;
};

TEST_F(FileStreamTest, CreateWriteReopenRead) {
  const std::string Path = PathOf("body.htm");
  {
    TFileStream Out(Path, TFileMode::fmCreate);
    Put(Out, "<html>");
    Put(Out, "</html>");
    EXPECT_EQ(Out.Size(), 13);
    EXPECT_EQ(Out.FileName(), Path);
  }
  EXPECT_EQ(Contents(Path), "<html></html>");

  TFileStream In(Path, TFileMode::fmOpenRead);
  EXPECT_EQ(In.Size(), 13);
  EXPECT_EQ(In.Position(), 0);
  EXPECT_EQ(In.Seek(-7, TSeekOrigin::soEnd), 6);
  char Buf[32];
  EXPECT_EQ(In.Read(Buf, sizeof Buf), 7);
  EXPECT_EQ(std::string(Buf, 7), "</html>");
  EXPECT_EQ(In.Read(Buf, sizeof Buf), 0);
}

TEST_F(FileStreamTest, CreateTruncatesAnExistingFile) {
  const std::string Path = PathOf("head.txt");
  std::ofstream(Path) << "a much longer previous content";
  {
    TFileStream Out(Path, TFileMode::fmCreate);
    EXPECT_EQ(Out.Size(), 0);
    Put(Out, "new");
  }
  EXPECT_EQ(Contents(Path), "new");
}

TEST_F(FileStreamTest, OpenForWritingKeepsTheContents) {
  const std::string Path = PathOf("f");
  std::ofstream(Path) << "abcdef";
  {
    TFileStream Out(Path, TFileMode::fmOpenWrite);
    Out.Seek(2, TSeekOrigin::soBeginning);
    Put(Out, "XY");
  }
  EXPECT_EQ(Contents(Path), "abXYef");
  {
    TFileStream Both(Path, TFileMode::fmOpenReadWrite);
    char C;
    Both.ReadBuffer(&C, 1);
    EXPECT_EQ(C, 'a');
    Put(Both, "_");
  }
  EXPECT_EQ(Contents(Path), "a_XYef");
}

TEST_F(FileStreamTest, CreatedFileHonoursTheUmask) {
  const std::string Path = PathOf("mode");
  mode_t Old = ::umask(027);
  { TFileStream Out(Path, TFileMode::fmCreate); }
  ::umask(Old);
  struct stat St {};
  ASSERT_EQ(::stat(Path.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0640u);
}

TEST_F(FileStreamTest, MissingFileRaisesOpenErrorNamingIt) {
  const std::string Path = PathOf("absent.txt");
  try {
    TFileStream In(Path, TFileMode::fmOpenRead);
    FAIL();
  } catch (const EFOpenError& E) {
    EXPECT_EQ(E.Message(), "Cannot open file \"" + Path + "\". No such file or directory");
  }
  EXPECT_THROW(TFileStream(Path, TFileMode::fmOpenWrite), EFOpenError);
  EXPECT_FALSE(fs::exists(Path));  // opening for writing never creates
}

TEST_F(FileStreamTest, UncreatableFileRaisesCreateErrorNamingIt) {
  const std::string Path = PathOf("no-such-dir/out.htm");
  try {
    TFileStream Out(Path, TFileMode::fmCreate);
    FAIL();
  } catch (const EFCreateError& E) {
    EXPECT_EQ(E.Message(), "Cannot create file \"" + Path + "\". No such file or directory");
  }
}

TEST_F(FileStreamTest, WriteErrorsNameTheFile) {
  const std::string Path = PathOf("ro");
  std::ofstream(Path) << "x";
  TFileStream In(Path, TFileMode::fmOpenRead);
  try {
    Put(In, "y");
    FAIL();
  } catch (const EWriteError& E) {
    EXPECT_NE(E.Message().find('"' + Path + '"'), std::string::npos) << E.Message();
  }
}

TEST_F(FileStreamTest, FullDiskRaisesWriteError) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TFileStream Out("/dev/full", TFileMode::fmOpenWrite);
  try {
    Put(Out, "data");
    FAIL();
  } catch (const EWriteError& E) {
    EXPECT_EQ(E.Message(), "Cannot write to file \"/dev/full\". No space left on device");
  }
}

TEST_F(FileStreamTest, SeekErrorsNameTheFile) {
  const std::string Path = PathOf("s");
  TFileStream Out(Path, TFileMode::fmCreate);
  try {
    Out.Seek(-1, TSeekOrigin::soBeginning);
    FAIL();
  } catch (const EStreamError& E) {
    EXPECT_NE(E.Message().find('"' + Path + '"'), std::string::npos) << E.Message();
  }
}

TEST_F(FileStreamTest, SetSizeTruncatesExtendsAndClampsThePosition) {
  const std::string Path = PathOf("sz");
  TFileStream Out(Path, TFileMode::fmCreate);
  Put(Out, "abcdef");
  Out.SetSize(2);
  EXPECT_EQ(Out.Size(), 2);
  EXPECT_EQ(Out.Position(), 2);
  Out.SetPosition(1);
  Out.SetSize(4);
  EXPECT_EQ(Out.Position(), 1);
  EXPECT_EQ(Contents(Path), std::string("ab\0\0", 4));
}

TEST_F(FileStreamTest, DescriptorIsCloseOnExecAndClosedWithTheStream) {
  int Fd;
  {
    TFileStream Out(PathOf("fd"), TFileMode::fmCreate);
    Fd = Out.Handle();
    int Flags = ::fcntl(Fd, F_GETFD);
    ASSERT_GE(Flags, 0);
    EXPECT_TRUE(Flags & FD_CLOEXEC);
  }
  EXPECT_EQ(::fcntl(Fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(FileStreamTest, MemoryStreamFileRoundTrip) {
  const std::string Path = PathOf("round");
  TMemoryStream Out;
  std::string Data(300000, '\0');
  for (std::size_t I = 0; I < Data.size(); ++I) Data[I] = static_cast<char>(I % 253);
  Put(Out, Data);
  Out.SaveToFile(Path);
  EXPECT_EQ(fs::file_size(Path), Data.size());

  TMemoryStream In;
  In.LoadFromFile(Path);
  EXPECT_EQ(In.DataString(), Data);
  EXPECT_THROW(In.LoadFromFile(PathOf("nothing")), EFOpenError);
}

// A pipe hands out at most its buffer per read(), so a large Read must loop to get it all.
TEST_F(FileStreamTest, ReadCollectsEveryPieceOfAShortReadingSource) {
  int Pipe[2];
  ASSERT_EQ(::pipe2(Pipe, O_CLOEXEC), 0);
  const std::string Data(5 * 65536 + 17, 'p');
  std::unique_ptr<TFileStream> In;
  try {
    In = std::make_unique<TFileStream>("/proc/self/fd/" + std::to_string(Pipe[0]),
                                       TFileMode::fmOpenRead);
  } catch (const EFOpenError&) {
    ::close(Pipe[0]);
    ::close(Pipe[1]);
    GTEST_SKIP() << "no /proc";
  }
  ::close(Pipe[0]);

  Tripwire Guard(std::chrono::seconds(20));
  std::thread Writer([&] {
    // If the reader gives up early, its close must end this thread with EPIPE, not kill
    // the program with SIGPIPE.
    sigset_t Set;
    sigemptyset(&Set);
    sigaddset(&Set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &Set, nullptr);
    std::size_t Done = 0;
    while (Done < Data.size()) {
      ssize_t N = ::write(Pipe[1], Data.data() + Done, Data.size() - Done);
      if (N <= 0) break;
      Done += static_cast<std::size_t>(N);
    }
    ::close(Pipe[1]);
  });
  std::string Got(Data.size() + 10, '\0');
  std::int64_t N = In->Read(Got.data(), static_cast<std::int64_t>(Got.size()));
  In.reset();
  Writer.join();
  EXPECT_EQ(N, static_cast<std::int64_t>(Data.size()));
  Got.resize(static_cast<std::size_t>(N));
  EXPECT_EQ(Got, Data);
}

}  // namespace
