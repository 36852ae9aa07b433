// How kvcheck matches a certificate's names against the host the setup is given.
#include <gtest/gtest.h>

#include "tools/kvcheck_cert.h"

namespace {

struct NameCase {
    const wchar_t* name;
    const wchar_t* host;
    bool covers;
};

TEST(CertificateNameCovers, Table) {
    const NameCase cases[] = {
        {L"kestrel.test", L"kestrel.test", true},
        {L"Kestrel.TEST", L"kestrel.test", true},           // names compare without case
        {L"kestrel.test", L"127.0.0.1", false},             // the test servers' case: a warning
        {L"kestrel.test", L"vault.kestrel.test", false},
        {L"*.kestrel.test", L"vault.kestrel.test", true},   // one label for the star
        {L"*.kestrel.test", L"kestrel.test", false},        // not the parent itself
        {L"*.kestrel.test", L"a.b.kestrel.test", false},    // not two labels
        {L"*.kestrel.test", L".kestrel.test", false},       // not an empty label
        {L"*.kestrel.test", L"vault.kestrel.testing", false},
        {L"127.0.0.1", L"127.0.0.1", true},                 // an IP address entry, as text
        {L"", L"kestrel.test", false},
        {L"kestrel.test", L"", false},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(CertificateNameCovers(c.name, c.host), c.covers) << "name " << testing::PrintToString(std::wstring(c.name))
                                                                   << ", host " << testing::PrintToString(std::wstring(c.host));
    }
}

}  // namespace
