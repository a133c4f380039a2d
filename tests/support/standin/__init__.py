"""A device on the virtual USB bus, written apart from the project's simulator."""
