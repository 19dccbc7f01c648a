// Directories, paths, file search, version queries and the documents folder of the POSIX layer.
#include "platform/SystemNames.h"
#include "platform/sim/BenchLayer.h"
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// True when the bench took the folder.
bool SetDocumentsFolder(const char *path)
{
    return ostrel::sim::SetPlatformDocumentsFolder(path).empty();
}

template <typename T> DWORD ErrorOf(T result) { return result ? 0 : GetLastError(); } // 0: the call succeeded

TEST(PosixFiles, DirectoriesAndSearchesKeepWindowsResultsAndOnlyStarAndQuestionMarkAsWildcards)
{
    const std::string folder = std::filesystem::temp_directory_path() / ("ostrel-posix-" + std::to_string(getpid()));
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    EXPECT_EQ(ErrorOf(CreateDirectoryA(folder.c_str(), nullptr)), ERROR_ALREADY_EXISTS);
    for (const char *name : {"libusb-1.0.so.0", "libusb-1.0.so.0.3.0", "libudev.so.1", "libusb-1.0.a", "a[1].so", "ab"})
        std::ofstream(folder + "/" + name) << "x";
    for (const char *below : {"/missing/Log", "/ab/Log"})
        EXPECT_EQ(ErrorOf(CreateDirectoryA((folder + below).c_str(), nullptr)), ERROR_PATH_NOT_FOUND) << below;

    const struct { const char *pattern; std::vector<std::string> names; DWORD error; } searches[] = {
        {"libusb-1.0*.so*", {"libusb-1.0.so.0", "libusb-1.0.so.0.3.0"}, ERROR_NO_MORE_FILES},
        {"a[1].so", {"a[1].so"}, ERROR_NO_MORE_FILES}, {"a?", {"ab"}, ERROR_NO_MORE_FILES},
        {"WdfCoInstaller*.dll", {}, ERROR_FILE_NOT_FOUND}, {"missing/*.so", {}, ERROR_PATH_NOT_FOUND},
    };
    for (const auto &search : searches) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data{};
        HANDLE found = FindFirstFileA((folder + "/" + search.pattern).c_str(), &data);
        for (bool more = found != INVALID_HANDLE_VALUE; more; more = FindNextFileA(found, &data))
            names.push_back(data.cFileName + std::string(data.nFileSizeLow == 1 ? "" : " of a wrong size"));
        EXPECT_EQ(names, search.names) << search.pattern;
        EXPECT_EQ(GetLastError(), search.error) << search.pattern;
        EXPECT_TRUE(found == INVALID_HANDLE_VALUE || FindClose(found));
    }
    std::filesystem::remove_all(folder);
}

TEST(PosixFiles, SystemQueriesKeepTheSizeProtocolsAndFindNoWindowsVersionSoTheKernelNamesTheOs)
{
    const std::string cwd = std::filesystem::current_path(), exe = std::filesystem::canonical("/proc/self/exe");
    char buffer[MAX_PATH], small[4];
    EXPECT_EQ(GetFullPathNameA("./a//../b.txt", MAX_PATH, buffer, nullptr), cwd.size() + 6);
    EXPECT_EQ(buffer, cwd + "/b.txt");
    EXPECT_EQ(std::string(buffer, GetFullPathNameA("/x/../../y", MAX_PATH, buffer, nullptr)), "/y");
    EXPECT_EQ(GetModuleFileNameA(GetModuleHandleA(nullptr), buffer, MAX_PATH), exe.size());
    EXPECT_EQ(buffer, exe);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small, exe.substr(0, 3)); // cut and terminated
    EXPECT_TRUE(std::filesystem::is_directory(std::string(buffer, GetSystemDirectoryA(buffer, MAX_PATH)))) << buffer;

    OSVERSIONINFOEXW info{sizeof(OSVERSIONINFOEXW), 5, 1, 0, 0, {}, 0, 0, 0, 0, 0};
    const ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    EXPECT_EQ(ErrorOf(VerifyVersionInfoW(&info, VER_MAJORVERSION, mask)), ERROR_OLD_WIN_VERSION);
    EXPECT_EQ(ErrorOf(GetFileVersionInfoSizeA("/proc/self/exe", nullptr)), ERROR_RESOURCE_TYPE_NOT_FOUND);
    std::string kernel; // its name, as uname() gives it
    std::ifstream("/proc/sys/kernel/ostype") >> kernel;
    EXPECT_EQ(std::string(ostrel::platform::OsFamilyName()), kernel.substr(0, 13));
}

std::string Folder(int which = CSIDL_PERSONAL) // SHGetFolderPathA's result and path
{
    char path[MAX_PATH] = "";
    return std::to_string(SHGetFolderPathA(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, path)) + " " + path;
}

// In child processes, since a process's documents folder is fixed once asked for. S_FALSE
// (1, which SUCCEEDED() accepts) says it is missing, as Windows' ANSI call does.
TEST(PosixFilesDeathTest, DocumentsFolderComesFromThePasswordDatabaseOrItsReplacementAsIs)
{
    const std::string documents = std::string(getpwuid(getuid())->pw_dir) + "/Documents";
    EXPECT_EXIT(setenv("HOME", "/nowhere", 1);
                std::exit(Folder().substr(1) == " " + documents && !SetDocumentsFolder("/tmp") ? 0 : 1),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(std::exit(!SetDocumentsFolder(nullptr) && SetDocumentsFolder("/no/docs") && Folder() == "1 /no/docs" &&
                          Folder(0x1A /* CSIDL_APPDATA */)[0] == '-' ? 0 : 1),
                ::testing::ExitedWithCode(0), "");
}

} // namespace
