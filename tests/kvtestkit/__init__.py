"""The Python helpers of the tests, the tools' tests, the benchmarks and the demo, in one package.

It is found through PYTHONPATH, which holds the folder above it (tests/): ctest sets it in the
environment of every Python entry it registers, and scripts/lib.sh exports it for every script
that starts Python (the test, demo, picture and benchmark scripts). No script edits sys.path.

    procs        stopping a child process, starting a server that writes its port to a file, free ports
    kvtest       build and prefix locations, programs under Wine, the window driver, the prefix's
                 registry and paths, command-line tools in their native and Windows builds
    kvwizard     the program's ids, texts, log and settings, and the whole-run test case
    kvpe         a small PE reader, and the DLLs every Windows has
    kvservers    nginx and the scripted server on 127.0.0.1 (scriptserver.py), the test PKI (pki)
    kvproxy      squid as a forward proxy on 127.0.0.1, and the prefix's proxy settings
    kvstandins   the stand-in installer and updater and a server tree offering them
    kvlogfacts   what the trace log of a run says, for the log reader's tests
    demo         the demo server (demo_server.py), the wizard in a Wine virtual desktop, pictures

scriptserver.py and demo_server.py are programs of their own (standard library only), started
by their file's path.
"""
