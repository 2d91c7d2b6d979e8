// Linked with the whole of one core library and the layers below it; never run.
int main() { return 0; }
