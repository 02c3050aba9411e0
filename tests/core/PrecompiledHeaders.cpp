// Anchors the shared precompiled header of the core tests.
