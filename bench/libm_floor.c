/* Throughput floors: the platform math library making the same scalar calls per element that a
   kernel makes, over the same data, on the same number of threads; a plain copy on that many
   threads (the bandwidth floor at a given size); and the strict sum's chain of dependent
   additions. Built by the benchmark. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <math.h>
#include <pthread.h>
#include <stddef.h>
#include <string.h>
#include <time.h>

typedef struct Slice Slice;
struct Slice {
    const double *a, *b;
    double *out;
    size_t begin, end;
    int which;
    void (*work)(Slice *);
    pthread_barrier_t *start;
    struct timespec t0, t1;
};

/* The entries the engine calls: on x86-64 glibc, the wrapper-free cores of exp, log, pow and
   atan2 (the same bits, without the errno wrapper), so that the floor is the cheapest way to the
   library's results; elsewhere the standard functions. */
static double (*f_exp)(double) = exp, (*f_log)(double) = log;
static double (*f_pow)(double, double) = pow, (*f_atan2)(double, double) = atan2;

static void *core(const char *name, void *standard) {
#if defined(__GLIBC__) && defined(__x86_64__)
    void *p = dlvsym(RTLD_DEFAULT, name, "GLIBC_2.15");
    if (p) return p;
#else
    (void)name;
#endif
    return standard;
}

__attribute__((constructor)) static void find_cores(void) {
    f_exp = (double (*)(double))core("__exp_finite", (void *)exp);
    f_log = (double (*)(double))core("__log_finite", (void *)log);
    f_pow = (double (*)(double, double))core("__pow_finite", (void *)pow);
    f_atan2 = (double (*)(double, double))core("__atan2_finite", (void *)atan2);
}

/* Read at run time: with a constant exponent the compiler turns pow(x, 2.0) into x * x,
   and the floor would leave out the calls a kernel makes. */
static volatile double two = 2.0;

static void libm_work(Slice *s) {
    const double e = two;
    for (size_t i = s->begin; i < s->end; ++i) {
        double x = s->a[i], y = s->b[i], r;
        switch (s->which) {
            case 0: r = f_pow(sin(x), e) + f_pow(cos(y), e); break;      /* sin, cos, 2 x pow */
            case 1: r = f_exp(-x) * f_log(y + 1.0); break;               /* exp, log */
            case 2: r = sin(x); break;
            case 3: r = f_pow(x, e); break;
            default: r = x; break;
        }
        s->out[i] = r;
    }
}

static void copy_work(Slice *s) {
    memcpy(s->out + s->begin, s->a + s->begin, (s->end - s->begin) * sizeof(double));
}

/* With cpu_clock set, time_slices gives the threads' CPU time added up instead of the wall
   time from the first start to the last end. */
static int cpu_clock;

/* Each thread starts its clock when all have arrived, so thread start-up is not counted. */
static void *run(void *p) {
    Slice *s = (Slice *)p;
    const clockid_t id = cpu_clock ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC;
    pthread_barrier_wait(s->start);
    clock_gettime(id, &s->t0);
    s->work(s);
    clock_gettime(id, &s->t1);
    return NULL;
}

static double seconds(struct timespec t) { return t.tv_sec + t.tv_nsec * 1e-9; }

/* Seconds from the first slice's start to the last slice's end, over n elements split into
   `threads` contiguous slices. */
static double time_slices(const double *a, const double *b, double *out, size_t n, int threads,
                          int which, void (*work)(Slice *)) {
    pthread_t tid[64];
    Slice sl[64];
    pthread_barrier_t start;
    if (threads < 1) threads = 1;
    if (threads > 64) threads = 64;
    pthread_barrier_init(&start, NULL, (unsigned)threads);
    for (int t = 0; t < threads; ++t) {
        sl[t] = (Slice){a, b, out, n * t / threads, n * (t + 1) / threads, which, work, &start,
                        {0, 0}, {0, 0}};
        if (t > 0) pthread_create(&tid[t], NULL, run, &sl[t]);
    }
    run(&sl[0]);
    for (int t = 1; t < threads; ++t) pthread_join(tid[t], NULL);
    pthread_barrier_destroy(&start);
    if (cpu_clock) {
        double total = 0.0;
        for (int t = 0; t < threads; ++t) total += seconds(sl[t].t1) - seconds(sl[t].t0);
        return total;
    }
    double first = seconds(sl[0].t0), last = seconds(sl[0].t1);
    for (int t = 1; t < threads; ++t) {
        if (seconds(sl[t].t0) < first) first = seconds(sl[t].t0);
        if (seconds(sl[t].t1) > last) last = seconds(sl[t].t1);
    }
    return last - first;
}

/* A formula's math-library calls alone: call k applies function fns[k] (0 sin, 1 cos, 2 exp,
   3 log, 4 atan2, 5 tan) to xs[k][i] (and ys[k][i] for atan2), for every element, each call in
   a loop of its own (the cheapest order, and the engine's), adding the results up so that no
   call is left out. */
static const int *calls_fns;
static const double *const *calls_xs, *const *calls_ys;
static int calls_count;

static void calls_work(Slice *s) {
    double *out = s->out;
    for (int k = 0; k < calls_count; ++k) {
        const double *x = calls_xs[k], *y = calls_ys[k];
        const int first = k == 0;
#define CALL_LOOP(expr)                                                         \
    for (size_t i = s->begin; i < s->end; ++i) {                                \
        const double r = (expr);                                                \
        out[i] = first ? r : out[i] + r;                                        \
    }                                                                           \
    break
        switch (calls_fns[k]) {
            case 0: CALL_LOOP(sin(x[i]));
            case 1: CALL_LOOP(cos(x[i]));
            case 2: CALL_LOOP(f_exp(x[i]));
            case 3: CALL_LOOP(f_log(x[i]));
            case 4: CALL_LOOP(f_atan2(x[i], y[i]));
            default: CALL_LOOP(tan(x[i]));
        }
#undef CALL_LOOP
    }
}

double libm_calls_seconds(const int *fns, const double *const *xs, const double *const *ys,
                          int count, double *out, size_t n, int threads, int cpu) {
    cpu_clock = cpu;
    calls_fns = fns;
    calls_xs = xs;
    calls_ys = ys;
    calls_count = count;
    const double t = time_slices(NULL, NULL, out, n, threads, 0, calls_work);
    cpu_clock = 0;
    return t;
}

/* pow(x[i], c) with the exponent unknown to the compiler: the reference for x ** c. */
void pow_array(const double *x, double c, double *out, size_t n) {
    volatile double e = c;
    for (size_t i = 0; i < n; ++i) out[i] = pow(x[i], e);
}

double libm_floor_seconds(const double *a, const double *b, double *out, size_t n, int threads,
                          int which) {
    return time_slices(a, b, out, n, threads, which, libm_work);
}

/* A copy of n elements from a to out on `threads` threads: 16 bytes moved per element. */
double copy_seconds(const double *a, double *out, size_t n, int threads) {
    return time_slices(a, a, out, n, threads, 0, copy_work);
}

/* Floor of a strictly ordered sum: one dependent addition per element, nothing else. */
double add_chain_seconds(const double *a, size_t n, double *sink) {
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    double total = -0.0;
    for (size_t i = 0; i < n; ++i) total += a[i];
    clock_gettime(CLOCK_MONOTONIC, &t1);
    *sink = total;
    return seconds(t1) - seconds(t0);
}
