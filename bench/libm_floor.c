/* Throughput floor of the platform math library: the same scalar calls per element that a
   kernel makes, over the same data, on the same number of threads. Built by the benchmark. */
#include <math.h>
#include <pthread.h>
#include <stddef.h>
#include <string.h>
#include <time.h>

typedef struct {
    const double *a, *b;
    double *out;
    size_t begin, end;
    int which;
} Slice;

/* Read at run time: with a constant exponent the compiler turns pow(x, 2.0) into x * x,
   and the floor would leave out the calls a kernel makes. */
static volatile double two = 2.0;

static void *run(void *p) {
    Slice *s = (Slice *)p;
    const double e = two;
    for (size_t i = s->begin; i < s->end; ++i) {
        double x = s->a[i], y = s->b[i], r;
        switch (s->which) {
            case 0: r = pow(sin(x), e) + pow(cos(y), e); break;      /* sin, cos, 2 x pow */
            case 1: r = exp(-x) * log(y + 1.0); break;               /* exp, log */
            case 2: r = sin(x); break;
            case 3: r = pow(x, e); break;
            default: r = x; break;
        }
        s->out[i] = r;
    }
    return NULL;
}

/* Seconds for one pass over n elements split into `threads` contiguous slices. */
double libm_floor_seconds(const double *a, const double *b, double *out, size_t n, int threads,
                          int which) {
    pthread_t tid[64];
    Slice sl[64];
    if (threads < 1) threads = 1;
    if (threads > 64) threads = 64;
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (int t = 0; t < threads; ++t) {
        sl[t] = (Slice){a, b, out, n * t / threads, n * (t + 1) / threads, which};
        if (t > 0) pthread_create(&tid[t], NULL, run, &sl[t]);
    }
    run(&sl[0]);
    for (int t = 1; t < threads; ++t) pthread_join(tid[t], NULL);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    return (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) * 1e-9;
}
