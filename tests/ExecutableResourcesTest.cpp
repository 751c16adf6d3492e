// What Explorer's Details tab, inventory tools and the program loader read from the executable.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

TEST(ExecutableResources, VersionResourceNamesTheProductAndTheBuiltVersion) {
    const std::string path = WrapperPath();
    const std::string version = EnvironmentValue("VORNIC_VERSION");
    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &ignored));
    ASSERT_FALSE(info.empty()) << "no version resource in " << path;
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    const std::string fileVersion = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                    std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                    std::to_string(HIWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(fileVersion, version);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);

    const std::pair<const char*, std::string> strings[] = {
        {"FileDescription", "Runs a program as a Windows service"},
        {"FileVersion", version},
        {"ProductName", "VornicService"},
        {"ProductVersion", version},
        {"OriginalFilename", "VornicService.exe"},
        {"InternalName", "VornicService"}};
    for (const auto& [name, expected] : strings) {
        char* value = nullptr;
        const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
        EXPECT_TRUE(
            VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) &&
            value == expected)
            << name << ": " << (value != nullptr ? value : "missing");
    }
}

TEST(ExecutableResources, ManifestRunsAsInvokerAndNamesWindows7To11) {
    HMODULE image = LoadLibraryExA(WrapperPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    HRSRC resource = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    std::string manifest;
    if (resource != nullptr) {
        manifest.assign(static_cast<const char*>(LockResource(LoadResource(image, resource))),
                        SizeofResource(image, resource));
    }
    FreeLibrary(image);
    ASSERT_FALSE(manifest.empty()) << "no manifest resource (type 24, id 1)";
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    for (const char* windows : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",    // 7
                                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",    // 8
                                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",    // 8.1
                                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) { // 10 and 11
        EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + windows + "\"/>"),
                  std::string::npos)
            << windows;
    }
}
