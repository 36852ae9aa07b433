/* The planted-DLL test's control: loads each DLL named on its command line by name, under the
 * default search, as a program that takes no care does. Beside the marker DLLs and under the
 * test's DLL overrides, each load must reach the marker; otherwise the test could not see a
 * planted DLL being loaded at all. Prints one line per name; the exit code counts failed loads. */
#include <stdio.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        HMODULE module = LoadLibraryW(argv[i]);
        printf("%ls %s\n", argv[i], module ? "loaded" : "failed");
        if (!module) ++failed;
    }
    return failed;
}
