// Whether LocalSystem may run a file: what its rights say, not its name.
#include "VornicService.h"

#include <aclapi.h>
#include <authz.h>

#include <cstring>
#include <vector>

namespace {

// What lets a holder change what runs: write, append to, delete (and so rename) the file, take
// its ownership or change its rights.
constexpr DWORD FileChangeRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER;
// Of every folder on the path: delete or rename it, change its owner or rights, delete or rename
// what it holds. Creating a folder is not among them: users may create one in C:\ itself.
constexpr DWORD FolderChangeRights = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
// Of the program's own folder also: add a file, such as a DLL that the program loads from there.
constexpr DWORD OwnFolderChangeRights = FolderChangeRights | FILE_ADD_FILE;

// The well-known groups that take in ordinary users, guests, anonymous and network logons,
// services of any account, and sandboxed apps (Microsoft's well-known SIDs). A right held by a
// named account or group is not judged: an administrator gave it.
bool IsOrdinaryUsersGroup(PSID sid) {
    static const WELL_KNOWN_SID_TYPE groups[] = {WinWorldSid,
                                                 WinLocalSid,
                                                 WinAuthenticatedUserSid,
                                                 WinBuiltinUsersSid,
                                                 WinBuiltinGuestsSid,
                                                 WinInteractiveSid,
                                                 WinAnonymousSid,
                                                 WinNetworkSid,
                                                 WinBatchSid,
                                                 WinServiceSid,
                                                 WinDialupSid,
                                                 WinRemoteLogonIdSid,
                                                 WinConsoleLogonSid,
                                                 WinThisOrganizationSid,
                                                 WinOtherOrganizationSid,
                                                 WinLocalAccountSid,
                                                 WinBuiltinRemoteDesktopUsersSid,
                                                 WinBuiltinAnyPackageSid};
    for (const WELL_KNOWN_SID_TYPE group : groups) {
        if (IsWellKnownSid(sid, group)) {
            return true;
        }
    }
    // Domain Users, Domain Guests and Domain Computers: S-1-5-21-x-y-z-513, 514 and 515.
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const PUCHAR count = GetSidSubAuthorityCount(sid);
    if (*count != 5 || *GetSidSubAuthority(sid, 0) != SECURITY_NT_NON_UNIQUE ||
        std::memcmp(GetSidIdentifierAuthority(sid), &nt, sizeof(nt)) != 0) {
        return false;
    }
    const DWORD rid = *GetSidSubAuthority(sid, 4);
    return rid == DOMAIN_GROUP_RID_USERS || rid == DOMAIN_GROUP_RID_GUESTS ||
           rid == DOMAIN_GROUP_RID_COMPUTERS;
}

bool IsProcessUser(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    union {
        TOKEN_USER User;
        BYTE Room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user{};
    DWORD size = 0;
    const bool same = GetTokenInformation(token, TokenUser, &user, sizeof(user), &size) &&
                      EqualSid(user.User.User.Sid, sid);
    CloseHandle(token);
    return same;
}

// Whether the account is an administrator, with its groups as Windows would give its logon.
bool IsAdministrator(PSID sid) {
    const auto initialize = SystemFunction<decltype(&AuthzInitializeResourceManager)>(
        "authz.dll", "AuthzInitializeResourceManager");
    const auto context = SystemFunction<decltype(&AuthzInitializeContextFromSid)>(
        "authz.dll", "AuthzInitializeContextFromSid");
    const auto information = SystemFunction<decltype(&AuthzGetInformationFromContext)>(
        "authz.dll", "AuthzGetInformationFromContext");
    const auto freeContext =
        SystemFunction<decltype(&AuthzFreeContext)>("authz.dll", "AuthzFreeContext");
    const auto freeManager = SystemFunction<decltype(&AuthzFreeResourceManager)>(
        "authz.dll", "AuthzFreeResourceManager");
    AUTHZ_RESOURCE_MANAGER_HANDLE manager = nullptr;
    if (initialize == nullptr || context == nullptr || information == nullptr ||
        freeContext == nullptr || freeManager == nullptr ||
        !initialize(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, nullptr, &manager)) {
        return false;
    }
    bool administrator = false;
    AUTHZ_CLIENT_CONTEXT_HANDLE client = nullptr;
    if (context(0, sid, manager, nullptr, LUID{}, nullptr, &client)) {
        DWORD size = 0;
        information(client, AuthzContextInfoGroupsSids, 0, &size, nullptr);
        std::vector<BYTE> buffer(size);
        const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
        if (size != 0 &&
            information(client, AuthzContextInfoGroupsSids, size, &size, buffer.data())) {
            for (DWORD i = 0; i < groups->GroupCount && !administrator; ++i) {
                administrator = IsWellKnownSid(groups->Groups[i].Sid, WinBuiltinAdministratorsSid);
            }
        }
        freeContext(client);
    }
    freeManager(manager);
    return administrator;
}

// The owner may always change the rights: a folder that an ordinary user made where a missing one
// was (C:\App, after an uninstallation) names only that user in its rights, and is theirs.
bool IsTrustedOwner(PSID owner) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID installer = nullptr;
    // NT SERVICE\TrustedInstaller, which owns what Windows itself installs.
    const bool isInstaller =
        AllocateAndInitializeSid(&nt, 6, SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649,
                                 1831038044, 1853292631, 2271478464, 0, 0, &installer) &&
        EqualSid(owner, installer);
    if (installer != nullptr) {
        FreeSid(installer);
    }
    return isInstaller || IsWellKnownSid(owner, WinLocalSystemSid) ||
           IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsProcessUser(owner) ||
           IsAdministrator(owner);
}

// Whether no ordinary user holds any of the rights on the file or folder, and an administrator
// owns it. A volume without rights (FAT, exFAT) has no DACL, which lets anyone do anything.
bool IsUnchangeable(const std::string& path, DWORD rights) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool unchangeable = dacl != nullptr && owner != nullptr && IsTrustedOwner(owner);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    for (DWORD i = 0; unchangeable && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
            unchangeable = false;
            break;
        }
        // A conditional allow has the same layout; an ACE that only passes on to what is created
        // inside does not apply here. Deny ACEs are not weighed: they can only take rights away.
        const BYTE type = ace->Header.AceType;
        if ((type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) ||
            (ace->Header.AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;
        }
        DWORD mask = ace->Mask;
        MapGenericMask(&mask, &mapping);
        unchangeable = (mask & rights) == 0 || !IsOrdinaryUsersGroup(&ace->SidStart);
    }
    LocalFree(descriptor);
    return unchangeable;
}

// The length of the path's root: "C:\" or "\\server\share\".
std::string::size_type RootLength(const std::string& path) {
    if (path.compare(0, 2, "\\\\") != 0) {
        return path.size() >= 3 && path[1] == ':' ? 3 : 0;
    }
    std::string::size_type end = path.find('\\', 2);
    end = end == std::string::npos ? end : path.find('\\', end + 1);
    return end == std::string::npos ? path.size() : end + 1;
}

// The folder that holds the path's last element; empty above the root. Stepping by characters:
// a double-byte character's second byte can be 0x5C.
std::string ParentFolder(const std::string& path) {
    const std::string::size_type root = RootLength(path);
    if (root == 0 || path.size() <= root) {
        return std::string();
    }
    std::string::size_type last = 0;
    for (const char* position = path.c_str(); *position != '\0';
         position = NextCharacter(position)) {
        if (*position == '\\' && position[1] != '\0') {
            last = static_cast<std::string::size_type>(position - path.c_str());
        }
    }
    return last < root ? path.substr(0, root) : path.substr(0, last);
}

} // namespace

DWORD CheckProgramProtection(const std::string& path) {
    if (!IsUnchangeable(path, FileChangeRights)) {
        return ERROR_ACCESS_DISABLED_BY_POLICY;
    }
    DWORD rights = OwnFolderChangeRights;
    for (std::string folder = ParentFolder(path); !folder.empty(); folder = ParentFolder(folder)) {
        if (!IsUnchangeable(folder, rights)) {
            return ERROR_ACCESS_DISABLED_BY_POLICY;
        }
        rights = FolderChangeRights;
    }
    return NO_ERROR;
}
