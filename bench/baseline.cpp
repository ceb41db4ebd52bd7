// The cost of starting a process with qmx4-fwload's libraries loaded and
// doing nothing: what the downloader's own run is measured against.

int main()
{
    return 0;
}
