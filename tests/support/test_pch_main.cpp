// The program that owns the test programs' precompiled GoogleTest headers; it is never run.
int main() { return 0; }
