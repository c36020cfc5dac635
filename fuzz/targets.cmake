# The fuzz targets: fuzz/<name>.cpp with its seeds in fuzz/corpus/<name>/.
# Read by the native build and by the tests; one line adds a target.
set(FUZZ_TARGETS
    manifest_line
    manifest
    path
    base_url
    server_url
    link_escape
    redact
    signature
    java_version
)
# The test command's share of fuzzing, in seconds, spread over the targets
# (each run also takes about a second to start).
set(FUZZ_TEST_SECONDS 20)
