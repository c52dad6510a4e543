// Linked with every object of one layer and only the layers below it: a call
// from the layer to one above it has no definition here, and the link fails.
int main() {
    return 0;
}
