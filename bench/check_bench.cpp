// The start check of a downloaded program beside reading the same file once: what holding the
// file and checking its signature costs a run, per program.
//
//   kv_check_bench FILE...
//
// For each file, in rounds: open + CheckProgramSignature + close, open + read every byte +
// close, and open + read + SHA-256 of every byte through the platform's own hash (the least a
// check of a signed file must do). Prints one line per file with the best time of each and the
// median over the rounds of each round's check / SHA-256 (a busy moment of the shared machine
// then moves one round, not the figure):
// "check <name> <bytes> B <state>  check <s> s  read <s> s  sha256 <s> s  ratio <median>".

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <wincrypt.h>

#include "bench/bench_clock.h"
#include "framework/handle.h"
#include "install/ProgramTrust.h"

namespace {

const int kRounds = 11;

bool Check(const std::wstring& path, SignatureState& state) {
    // As the steps hold a program: reading, nobody writing or deleting.
    const kv::UniqueFile file = HoldProgramFile(path);
    if (!file) return false;
    state = CheckProgramSignature(file.get(), path).state;
    return true;
}

bool Read(const std::wstring& path, unsigned long long& bytes) {
    const kv::UniqueFile file = HoldProgramFile(path);
    if (!file) return false;
    static std::vector<char> buffer(1 << 20);
    bytes = 0;
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got) bytes += got;
    return true;
}

bool Hash(const std::wstring& path) {
    const kv::UniqueFile file = HoldProgramFile(path);
    if (!file) return false;
    HCRYPTPROV provider = 0;
    if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return false;
    HCRYPTHASH hash = 0;
    bool ok = ::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) != 0;
    static std::vector<char> buffer(1 << 20);
    DWORD got = 0;
    while (ok && ::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got)
        ok = ::CryptHashData(hash, reinterpret_cast<const BYTE*>(buffer.data()), got, 0) != 0;
    BYTE digest[32];
    DWORD size = sizeof(digest);
    ok = ok && ::CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
    if (hash) ::CryptDestroyHash(hash);
    ::CryptReleaseContext(provider, 0);
    return ok;
}

double Timed(const std::function<bool()>& body, bool& ok) {
    const double start = Seconds();
    ok = body() && ok;
    return Seconds() - start;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kv_check_bench FILE...\n");
        return 2;
    }
    static const char* kStates[] = {"unsigned", "verified", "does not verify"};
    for (int i = 1; i < argc; ++i) {
        const std::wstring path = argv[i];
        SignatureState state = SignatureState::Unsigned;
        unsigned long long bytes = 0;
        double bestCheck = 1e30, bestRead = 1e30, bestHash = 1e30;
        bool ok = true;
        std::vector<double> ratios;
        // In turns, so that a busy moment of the machine hits all three.
        for (int round = 0; round < kRounds; ++round) {
            const double check = Timed([&] { return Check(path, state); }, ok);
            bestCheck = std::min(bestCheck, check);
            bestRead = std::min(bestRead, Timed([&] { return Read(path, bytes); }, ok));
            const double hash = Timed([&] { return Hash(path); }, ok);
            bestHash = std::min(bestHash, hash);
            ratios.push_back(check / hash);
        }
        std::sort(ratios.begin(), ratios.end());
        if (!ok) {
            std::fprintf(stderr, "cannot open or hash %ls\n", path.c_str());
            return 1;
        }
        const wchar_t* name = path.c_str() + path.find_last_of(L"\\/") + 1;
        std::printf("check %ls %llu B %s  check %.6f s  read %.6f s  sha256 %.6f s  ratio %.2f\n", name, bytes,
                    kStates[static_cast<int>(state)], bestCheck, bestRead, bestHash, ratios[ratios.size() / 2]);
    }
    return 0;
}
