/* A small program that carries packages in the package reader's tests. */
int main(void)
{
    return 0;
}
