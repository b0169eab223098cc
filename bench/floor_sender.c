/* The floor for the sender benchmark: the same work as sendCrashReport (socket,
 * bind, host lookup, read, one compress call, one sendto) with no checks, no
 * messages and nothing around it. Linked statically, so it pays for no
 * dynamic loading either. Usage: floor_sender HOST PORT FILE */
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <zlib.h>

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in local = {.sin_family = AF_INET};
    bind(sock, (struct sockaddr *)&local, sizeof local);
    struct hostent *host = gethostbyname(argv[1]);
    if (host == NULL)
        return 1;
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[2]))};
    memcpy(&to.sin_addr, host->h_addr_list[0], sizeof to.sin_addr);

    FILE *file = fopen(argv[3], "r");
    fseek(file, 0, SEEK_END);
    unsigned long size = (unsigned long)ftell(file);
    rewind(file);
    unsigned char *data = malloc(size);
    size_t count = fread(data, 1, size, file);
    fclose(file);
    uLongf length = compressBound(count);
    unsigned char *frame = malloc(length + 4);
    frame[0] = (unsigned char)(count >> 24);
    frame[1] = (unsigned char)(count >> 16);
    frame[2] = (unsigned char)(count >> 8);
    frame[3] = (unsigned char)count;
    compress(frame + 4, &length, data, count);
    free(data);
    sendto(sock, frame, length + 4, 0, (struct sockaddr *)&to, sizeof to);
    free(frame);
    return 0;
}
