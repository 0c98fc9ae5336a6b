// STUB: to be replaced.
int main() { return 0; }
