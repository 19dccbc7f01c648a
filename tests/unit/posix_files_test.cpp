// Directories, paths, file search, version queries and the documents folder of the POSIX layer.
#include "platform/platform.h"
#include "platform/posix/documents.h"
#include "platform/posix/faults.h"
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace {

class PosixFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/ostrel-posix-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override
    {
        ostrel::posix::ClearFaults();
        EXPECT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
    }

    void Touch(const std::string &name) { std::ofstream(folder + "/" + name) << "x"; }

    std::vector<std::string> Find(const std::string &pattern, DWORD *error = nullptr)
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data{};
        HANDLE search = FindFirstFileA((folder + "/" + pattern).c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) {
            if (error != nullptr)
                *error = GetLastError();
            return names;
        }
        do
            names.push_back(data.cFileName);
        while (FindNextFileA(search, &data));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        EXPECT_TRUE(FindClose(search));
        return names;
    }

    std::string folder;
};

TEST_F(PosixFiles, CreateDirectoryMakesOneLevelWithWindowsErrors)
{
    const std::string log = folder + "/Log";
    EXPECT_TRUE(CreateDirectoryA(log.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(log.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA((folder + "/missing/Log").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    Touch("file");
    EXPECT_FALSE(CreateDirectoryA((folder + "/file/Log").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(PosixFiles, SearchYieldsMatchingNamesOnlyWithOnlyStarAndQuestionMarkAsWildcards)
{
    for (const char *name : {"libusb-1.0.so.0", "libusb-1.0.so.0.3.0", "libudev.so.1", "libusb-1.0.a", "a[1].so",
                             "ab.so", "notes.txt"})
        Touch(name);
    EXPECT_EQ(Find("libusb-1.0*.so*"), (std::vector<std::string>{"libusb-1.0.so.0", "libusb-1.0.so.0.3.0"}));
    EXPECT_EQ(Find("a[1].so"), (std::vector<std::string>{"a[1].so"}));
    EXPECT_EQ(Find("a?.so"), (std::vector<std::string>{"ab.so"}));

    DWORD error = 0;
    EXPECT_TRUE(Find("WdfCoInstaller*.dll", &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(Find("missing/*.so", &error).empty());
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);

    WIN32_FIND_DATAA data{};
    HANDLE search = FindFirstFileA((folder + "/notes.txt").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.nFileSizeLow, 1u);
    EXPECT_FALSE(CloseHandle(search)); // searches end with FindClose only
    ASSERT_TRUE(ostrel::posix::InjectFault("FindClose", ERROR_GEN_FAILURE, 0, 1));
    EXPECT_FALSE(FindClose(search));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_FALSE(FindClose(search)); // the failed close released it all the same
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PosixFiles, FullPathResolvesAgainstTheCurrentDirectoryWithTheSizeProtocol)
{
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    char real[PATH_MAX];
    ASSERT_NE(realpath(folder.c_str(), real), nullptr);
    const std::string expected = std::string(real) + "/b.txt";

    char buffer[MAX_PATH];
    char *name = nullptr;
    EXPECT_EQ(GetFullPathNameA("./a//../b.txt", MAX_PATH, buffer, &name), expected.size());
    EXPECT_EQ(buffer, expected);
    EXPECT_STREQ(name, "b.txt");

    char small[4] = "xyz";
    EXPECT_EQ(GetFullPathNameA("b.txt", sizeof small, small, nullptr), expected.size() + 1);
    EXPECT_STREQ(small, "xyz");
    EXPECT_EQ(GetFullPathNameA("/x/../../y", MAX_PATH, buffer, nullptr), 2u);
    EXPECT_STREQ(buffer, "/y");
    ASSERT_EQ(chdir(saved), 0);
}

TEST(PosixModule, ExecutableAndSystemFolder)
{
    EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    char real[PATH_MAX];
    ASSERT_NE(realpath("/proc/self/exe", real), nullptr);
    EXPECT_EQ(length, std::strlen(real));
    EXPECT_STREQ(path, real);
    EXPECT_EQ(GetModuleFileNameA(GetModuleHandleA(nullptr), path, MAX_PATH), length);

    // Too small: cut, terminated, the buffer's size returned.
    char small[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(small), std::string(real, 4));

    const UINT needed = GetSystemDirectoryA(nullptr, 0);
    ASSERT_GT(needed, 1u);
    std::vector<char> system(needed);
    EXPECT_EQ(GetSystemDirectoryA(system.data(), needed), needed - 1);
    struct stat info {};
    EXPECT_EQ(stat(system.data(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST(PosixVersion, NoWindowsVersionAndNoVersionResources)
{
    ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    EXPECT_EQ(mask, 0x1801Bu); // three bits per field, at the position of its flag's bit
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = 5;
    info.dwMinorVersion = 1;
    EXPECT_FALSE(VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask));
    EXPECT_EQ(GetLastError(), ERROR_OLD_WIN_VERSION);

    DWORD handle = 7;
    EXPECT_EQ(GetFileVersionInfoSizeA("/proc/self/exe", &handle), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(GetFileVersionInfoSizeA("/no/such/file.so", nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// These run in a child process each: the documents folder is fixed for the
// life of a process once it has been asked for.
TEST(PosixShellDeathTest, DocumentsFolderComesFromThePasswordDatabase)
{
    EXPECT_EXIT(
        {
            setenv("HOME", "/nowhere", 1);
            char path[MAX_PATH] = "";
            const HRESULT result = SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path);
            const std::string expected = std::string(getpwuid(getuid())->pw_dir) + "/Documents";
            std::exit(SUCCEEDED(result) && expected == path && !ostrel::posix::SetDocumentsFolder("/tmp") ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(PosixShellDeathTest, ReplacedDocumentsFolderIsReportedAsIs)
{
    EXPECT_EXIT(
        {
            const char missing[] = "/tmp/ostrel-no-such-documents";
            bool ok = !ostrel::posix::SetDocumentsFolder(nullptr) && ostrel::posix::SetDocumentsFolder(missing);
            // A folder that does not exist: its path all the same, with S_FALSE
            // (which SUCCEEDED() accepts), as the ANSI call does on Windows.
            char path[MAX_PATH] = "";
            ok = ok && SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path) == 1;
            ok = ok && std::string(path) == missing;
            // Only the documents folder is known.
            ok = ok && !SUCCEEDED(SHGetFolderPathA(nullptr, 0x1A /* CSIDL_APPDATA */, nullptr, 0, path));
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(PosixPlatform, OsFamilyIsTheKernelNameInThirteenCharacters)
{
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    EXPECT_EQ(std::string(ostrel::platform::OsFamilyName()), std::string(system.sysname).substr(0, 13));
}

} // namespace
