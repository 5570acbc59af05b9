// Entry point; the start-up sequence lives in runtime/startup.cpp.
int main() { return 0; }
