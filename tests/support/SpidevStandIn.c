/* An SPI device for tavod run by a test: preloaded into tavod (LD_PRELOAD), it
 * answers the spidev ioctls on one ordinary file, SPIDEV_STANDIN, as the kernel's
 * driver does (mode 0-3, 8-bit words, a clock above 0, one transfer of at most
 * 4096 bytes), and appends each transfer's bytes as a line "spi 01 81" to the file
 * SPIDEV_STANDIN_TRACE. Pointed at a simulated pin's trace, that file shows each
 * transfer in order with the pin's changes. Every byte read is 0. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define SPIDEV_BUFSIZ 4096

typedef int (*ioctl_fn)(int, unsigned long, ...);

static int isStandIn(int fd) {
    const char* path = getenv("SPIDEV_STANDIN");
    char link[64];
    char target[4096];
    if (!path || !*path) {
        return 0;
    }
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof(target) - 1);
    if (n <= 0) {
        return 0;
    }
    target[n] = 0;
    return strcmp(target, path) == 0;
}

static void trace(const uint8_t* bytes, uint32_t length) {
    const char* path = getenv("SPIDEV_STANDIN_TRACE");
    if (!path || !*path) {
        return;
    }
    char* line = malloc(4 + 3 * (size_t)length + 2);
    if (!line) {
        return;
    }
    size_t at = (size_t)sprintf(line, "spi");
    for (uint32_t i = 0; i < length; i++) {
        at += (size_t)sprintf(line + at, " %02x", bytes[i]);
    }
    line[at++] = '\n';
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t w = write(fd, line, at);
        (void)w;
        close(fd);
    }
    free(line);
}

static int spidev(unsigned long request, void* arg) {
    if (request == SPI_IOC_WR_MODE) {
        if (*(uint8_t*)arg > SPI_MODE_3) {
            errno = EINVAL;
            return -1;
        }
        return 0;
    }
    if (request == SPI_IOC_WR_BITS_PER_WORD) {
        if (*(uint8_t*)arg != 8) {
            errno = EINVAL;
            return -1;
        }
        return 0;
    }
    if (request == SPI_IOC_WR_MAX_SPEED_HZ) {
        if (*(uint32_t*)arg == 0) {
            errno = EINVAL;
            return -1;
        }
        return 0;
    }
    if (request == SPI_IOC_MESSAGE(1)) {
        struct spi_ioc_transfer* t = arg;
        if (t->len > SPIDEV_BUFSIZ) {
            errno = EMSGSIZE;
            return -1;
        }
        if (t->rx_buf) {
            memset((void*)(uintptr_t)t->rx_buf, 0, t->len);
        }
        trace((const uint8_t*)(uintptr_t)t->tx_buf, t->len);
        return (int)t->len;
    }
    errno = ENOTTY;
    return -1;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (isStandIn(fd)) {
        return spidev(request, arg);
    }
    static ioctl_fn real = NULL;
    if (!real) {
        real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    }
    return real(fd, request, arg);
}
