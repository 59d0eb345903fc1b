// The floor for any process: started, does nothing, exits. Built and linked
// like the tool, so that the two can be timed side by side.
int main() {
    return 0;
}
