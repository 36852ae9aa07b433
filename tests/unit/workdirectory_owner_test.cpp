// Who owns a step's private directory. Under the policy "default owner: object creator" an
// elevated administrator's new objects belong to the user account itself, and an owner may
// always rewrite the access list: the owner must be named in the descriptor given at creation.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "install/InstallPlatform.h"
#include "install/WorkDirectory.h"
#include "install_support.h"

namespace {

// Whether descriptor names Administrators as its owner, set on purpose (not defaulted).
::testing::AssertionResult OwnedByAdministrators(PSECURITY_DESCRIPTOR descriptor) {
    if (!descriptor) return ::testing::AssertionFailure() << "no descriptor";
    PSID owner = nullptr;
    BOOL defaulted = TRUE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted))
        return ::testing::AssertionFailure() << "owner unreadable";
    if (!owner) return ::testing::AssertionFailure() << "no owner: the token's default owner would be used";
    if (!::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return ::testing::AssertionFailure() << "another owner";
    if (defaulted) return ::testing::AssertionFailure() << "owner marked as defaulted";
    return ::testing::AssertionSuccess();
}

TEST(StepWorkDirectoryOwner, TheDescriptorGivenAtCreationNamesAdministrators) {
    AdminOnlySecurity security;
    ASSERT_TRUE(security.Ready());
    ASSERT_NE(security.Attributes(), nullptr);
    EXPECT_TRUE(OwnedByAdministrators(security.Attributes()->lpSecurityDescriptor));
    EXPECT_TRUE(::IsValidSecurityDescriptor(security.Attributes()->lpSecurityDescriptor));
}

TEST(StepWorkDirectoryOwner, AnElevatedStepAsksForItsDirectoryOwnedByAdministrators) {
    kvtest::ScratchDir dir(L"owner");
    std::vector<std::wstring> created;
    std::vector<::testing::AssertionResult> owned;
    InstallPlatform platform = RealInstallPlatform();
    platform.isElevated = [] { return true; };
    platform.machineTempDirectory = [&] { return dir.Path(); };
    platform.createDirectory = [&](const std::wstring& path, SECURITY_ATTRIBUTES* attributes) {
        created.push_back(path);
        owned.push_back(attributes ? OwnedByAdministrators(attributes->lpSecurityDescriptor)
                                   : ::testing::AssertionFailure() << "no security attributes");
        return ::CreateDirectoryW(path.c_str(), attributes);
    };
    kvtest::ScopedPlatform scoped(platform);
    {
        StepWorkDirectory work;
        ASSERT_TRUE(work.Ready()) << "error " << work.Error();
        ASSERT_TRUE(work.IsPrivate());
        ASSERT_EQ(created.size(), 1u);
        EXPECT_TRUE(owned[0]);
        EXPECT_EQ(work.Path(), created[0]);
        // (Wine keeps no owner given at creation: it reports the Unix owner's account, so what
        // the file system then holds cannot be read back here.)
    }
    EXPECT_FALSE(kvtest::Exists(created[0])) << "the directory goes with its step";
}

}  // namespace
