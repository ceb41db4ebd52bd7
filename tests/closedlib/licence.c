/* The one function of a library a closed library may depend on. */
int qmx4_licence_ok(void)
{
    return 1;
}
