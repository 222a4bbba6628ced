/* jack_copy: a JACK client that copies 2 inputs to 2 outputs, the reference point of
 * scripts/compare-jack.sh. It connects the server's first two capture and playback ports,
 * runs S seconds after 1 s to settle and prints one line:
 *   cycles=N xruns=N client_cpu=% server_cpu=% dev_p50=us dev_p99=us dev_max=us
 * dev is |interval between two process callbacks - the period|. */
#include <jack/jack.h>

#include <math.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

static jack_port_t* g_in[2];
static jack_port_t* g_out[2];
static atomic_int g_measuring;
static atomic_uint g_xruns;
static atomic_uint g_count;
static atomic_ulong g_cycles;
static double* g_dev;
static unsigned g_capacity;
static jack_time_t g_last;
static double g_periodUs;

static int process(jack_nframes_t frames, void* arg)
{
    (void)arg;
    const jack_time_t now = jack_get_time();
    for (int c = 0; c < 2; ++c) {
        const float* in = jack_port_get_buffer(g_in[c], frames);
        float* out = jack_port_get_buffer(g_out[c], frames);
        memcpy(out, in, frames * sizeof(float));
    }
    if (atomic_load(&g_measuring)) {
        atomic_fetch_add(&g_cycles, 1);
        const unsigned n = atomic_load(&g_count);
        if (g_last != 0 && n < g_capacity) {
            g_dev[n] = fabs((double)(now - g_last) - g_periodUs);
            atomic_store(&g_count, n + 1);
        }
        g_last = now;
    }
    return 0;
}

static int xrun(void* arg)
{
    (void)arg;
    if (atomic_load(&g_measuring))
        atomic_fetch_add(&g_xruns, 1);
    return 0;
}

static double selfCpu(void)
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

static double otherCpu(long pid)
{
    char path[64], text[1024];
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* f = pid > 0 ? fopen(path, "r") : NULL;
    if (f == NULL)
        return -1;
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    char* p = strrchr(text, ')');
    if (p == NULL)
        return -1;
    unsigned long utime = 0, stime = 0;
    /* state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime */
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

static int compare(const void* a, const void* b)
{
    const double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 10;
    long serverPid = argc > 2 ? atol(argv[2]) : 0;
    if (seconds <= 0) {
        fprintf(stderr, "usage: jack_copy [SECONDS] [SERVER_PID]\n");
        return 2;
    }
    jack_status_t status;
    jack_client_t* client = jack_client_open("jack_copy", JackNoStartServer, &status);
    if (client == NULL) {
        fprintf(stderr, "jack_copy: no JACK server (status 0x%x)\n", (unsigned)status);
        return 1;
    }
    const jack_nframes_t rate = jack_get_sample_rate(client);
    const jack_nframes_t period = jack_get_buffer_size(client);
    g_periodUs = 1e6 * period / rate;
    g_capacity = (unsigned)((seconds + 2) * rate / period) + 64;
    g_dev = calloc(g_capacity, sizeof(double));
    char name[32];
    for (int c = 0; c < 2; ++c) {
        snprintf(name, sizeof name, "in_%d", c + 1);
        g_in[c] = jack_port_register(client, name, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        snprintf(name, sizeof name, "out_%d", c + 1);
        g_out[c] = jack_port_register(client, name, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    }
    jack_set_process_callback(client, process, NULL);
    jack_set_xrun_callback(client, xrun, NULL);
    if (g_dev == NULL || jack_activate(client) != 0) {
        fprintf(stderr, "jack_copy: cannot activate\n");
        return 1;
    }
    const char** capture = jack_get_ports(client, NULL, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsOutput);
    const char** playback = jack_get_ports(client, NULL, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
    for (int c = 0; c < 2; ++c) {
        if (capture != NULL && capture[0] != NULL && capture[c] != NULL)
            jack_connect(client, capture[c], jack_port_name(g_in[c]));
        if (playback != NULL && playback[0] != NULL && playback[c] != NULL)
            jack_connect(client, jack_port_name(g_out[c]), playback[c]);
    }
    jack_free(capture);
    jack_free(playback);
    sleep(1);
    const double cpu = selfCpu(), server = otherCpu(serverPid);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    atomic_store(&g_measuring, 1);
    const struct timespec pause = {(time_t)seconds, (long)((seconds - (time_t)seconds) * 1e9)};
    nanosleep(&pause, NULL);
    atomic_store(&g_measuring, 0);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    const double elapsed = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
    const double cpuAfter = selfCpu(), serverAfter = otherCpu(serverPid);
    jack_deactivate(client);
    jack_client_close(client);
    const unsigned n = atomic_load(&g_count);
    qsort(g_dev, n, sizeof(double), compare);
    const double p50 = n ? g_dev[n / 2] : 0, p99 = n ? g_dev[(size_t)(n * 0.99)] : 0, max = n ? g_dev[n - 1] : 0;
    printf("cycles=%lu xruns=%u client_cpu=%.2f server_cpu=%.2f dev_p50=%.1f dev_p99=%.1f dev_max=%.1f\n",
           (unsigned long)atomic_load(&g_cycles), atomic_load(&g_xruns), 100.0 * (cpuAfter - cpu) / elapsed,
           server >= 0 && serverAfter >= 0 ? 100.0 * (serverAfter - server) / elapsed : -1.0, p50, p99, max);
    free(g_dev);
    return 0;
}
