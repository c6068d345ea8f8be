// Entry point of tvlService (filled in by the service program's start-up).
int main() { return 0; }
