// Entry of the command-line front end.
int main() {
    return 2;
}
