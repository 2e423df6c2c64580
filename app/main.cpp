// Placeholder start until the frame arrives: replaced below.
int main() { return 0; }
