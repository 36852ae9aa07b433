// An address that names its scheme: which prefixes count, and what is left as the host.
#include <gtest/gtest.h>

#include <string>

#include "install/ServerAddress.h"

namespace {

TEST(SplitSchemePrefix, TakesOnePrefixInAnyLetterCase) {
    struct Case {
        const wchar_t* address;
        bool named;
        int useHttps;
        const wchar_t* host;
    } cases[] = {
        {L"vault.example.com", false, 0, L"vault.example.com"},
        {L"https://vault.example.com", true, 1, L"vault.example.com"},
        {L"http://vault.example.com", true, 0, L"vault.example.com"},
        {L"HTTPS://vault.example.com:8443/app/", true, 1, L"vault.example.com:8443/app/"},
        {L"HtTp://Vault.Example.com", true, 0, L"Vault.Example.com"},
        {L"hTTPs://", true, 1, L""},
        {L"http://", true, 0, L""},
        // Only the first prefix goes; what follows is the host, whatever it is.
        {L"https://http://vault", true, 1, L"http://vault"},
        // Not a prefix: a blank in front (the callers trim first), a missing slash, another
        // scheme, a scheme without its slashes, Cyrillic or full-width look-alikes.
        {L" https://vault", false, 0, L" https://vault"},
        {L"https:/vault", false, 0, L"https:/vault"},
        {L"ftp://vault", false, 0, L"ftp://vault"},
        {L"https:vault", false, 0, L"https:vault"},
        {L"\u04bbttps://vault", false, 0, L"\u04bbttps://vault"},
        {L"\uff48ttp://vault", false, 0, L"\uff48ttp://vault"},
        {L"htt", false, 0, L"htt"},
        {L"", false, 0, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.address, c.address + wcslen(c.address)));
        const SchemeAndHost got = SplitSchemePrefix(c.address);
        EXPECT_EQ(got.named, c.named);
        EXPECT_EQ(got.useHttps, c.useHttps);
        EXPECT_EQ(got.host, c.host);
    }
}

}  // namespace
