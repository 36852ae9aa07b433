// Adds a CA certificate (DER file) to the "Root" system store of the Wine prefix it runs in,
// so that the test servers' certificates are trusted there and nowhere else. Adding it again
// changes nothing. Exit code 0 on success, 1 with a message otherwise.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kv_trust_test_ca CA.der\n");
        return 1;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %ls: %lu\n", argv[1], GetLastError());
        return 1;
    }
    std::vector<BYTE> der(GetFileSize(file, nullptr));
    DWORD read = 0;
    const BOOL ok = ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != der.size() || der.empty()) {
        std::fprintf(stderr, "cannot read %ls\n", argv[1]);
        return 1;
    }
    if (!CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(), static_cast<DWORD>(der.size()))) {
        std::fprintf(stderr, "CertAddEncodedCertificateToSystemStoreW failed: 0x%08lx\n", GetLastError());
        return 1;
    }
    return 0;
}
