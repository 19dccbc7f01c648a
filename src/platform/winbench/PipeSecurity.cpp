// The security of the bench's instrument pipes.
#include "platform/winbench/PipeSecurity.h"

#include <sddl.h>

#include <string>
#include <vector>

namespace ostrel::winbench {
namespace {

// The process's user as an SID string ("S-1-5-21-..."), or "".
std::string CurrentUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return "";
    std::string text;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> buffer(size);
    char *sid = nullptr;
    if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &sid)) {
        text = sid;
        LocalFree(sid);
    }
    CloseHandle(token);
    return text;
}

SECURITY_ATTRIBUTES *MakeCurrentUserOnly()
{
    const std::string user = CurrentUserSid();
    if (user.empty())
        return nullptr;
    // Protected DACL: nothing inherited, full access for the system and the user.
    const std::string sddl = "D:P(A;;GA;;;SY)(A;;GA;;;" + user + ")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    // Kept for the process, as the pipes that use it may be made until it ends.
    return new SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
}

} // namespace

SECURITY_ATTRIBUTES *CurrentUserOnly()
{
    static SECURITY_ATTRIBUTES *attributes = MakeCurrentUserOnly();
    return attributes;
}

} // namespace ostrel::winbench
