// How the growths of sequential grouping depend on one another, and what
// that leaves for growing several regions at once: on each image, the
// sequential pass is timed alone (CPU seconds), then run again under an
// observer that notes, for every growing region, each entry its scan
// resolves and each region it takes.  From that record:
//
// - work: the entries a region's scan resolves; the largest region's share
//   and the five largest', of the work and of the observed pass's time;
// - the heaviest chain of dependent growths, and the speed-up a schedule
//   in list order on 2 and 4 threads would reach knowing every dependence
//   and paying nothing for it (an upper bound for any exact scheme), and
//   one that takes any growth whose dependences are done;
// - speculation: a growth run ahead of its turn against the state as it
//   was (regions earlier in the list taken as finished, since they are at
//   its turn) is the one the pass makes unless it would have taken a
//   region that an earlier growth took in the meantime.  That is measured
//   for windows of W growths speculated together against the state at the
//   window's start, and for a look-ahead of D growths (each speculated as
//   the growth D before it starts).  "Thrown away" counts the regions of a
//   window absorbed before their turn, whose speculation is wasted too;
// - a model of two threads, the caller growing in list order and a helper
//   speculating ahead of it, with the costs it assumes.
//
// A growth depends on an earlier one when one of its entries passes a
// region that the earlier growth took and that it would have taken itself.
//
//   build/bin/regionseg_core_grouping_bench [CASE...]
//
// CASE: bn64, bn128, bn256 (blurred noise of the scale cases: criterion 1,
// threshold 20, start level 1), blobs64, blobs128 (boxes and balls on a
// gradient with noise: threshold 30, start level 3), or FILE.u8:D1:D2 for a
// picture of 8-bit grey values, first dimension fastest (criterion 1,
// threshold 20, start level 2; bench/compare/make_images.py writes
// camera256.u8, 256 x 256).  Default: bn64 blobs64.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <queue>
#include <string>
#include <vector>

#include "bench_scene.h"
#include "stages.h"

namespace {

struct Case {
  std::string name;
  std::vector<int32_t> image;
  int32_t d1 = 0, d2 = 0, d3 = 1;
  seg_params params;
};

bool make_case(const std::string &arg, Case &c) {
  c.name = arg;
  c.params.criterion = CRITERION_RANGE;
  c.params.threshold = 20;
  if (arg == "bn64" || arg == "bn128" || arg == "bn256") {
    const int32_t side = std::stoi(arg.substr(2));
    c.image = blurred_noise(side);
    c.d1 = c.d2 = c.d3 = side;
    c.params.levels = side == 64 ? 6 : side == 128 ? 7 : 8;
    c.params.flat_levels = 0;
    c.params.start_level = 1;
    return true;
  }
  if (arg == "blobs64" || arg == "blobs128") {
    const Scene s = make_scene(arg == "blobs64" ? 6 : 7, 0, 3, 4402, 80, 40);
    c.image = s.image;
    c.d1 = c.d2 = s.side;
    c.d3 = s.planes;
    c.params.levels = s.levels;
    c.params.flat_levels = 0;
    c.params.start_level = s.start_level;
    c.params.threshold = 30;
    return true;
  }
  const size_t colon = arg.find(':');
  const size_t second = colon == std::string::npos ? colon : arg.find(':', colon + 1);
  if (second == std::string::npos) {
    return false;
  }
  c.d1 = std::stoi(arg.substr(colon + 1));
  c.d2 = std::stoi(arg.substr(second + 1));
  FILE *f = fopen(arg.substr(0, colon).c_str(), "rb");
  if (f == nullptr || c.d1 < 1 || c.d2 < 1) {
    return false;
  }
  std::vector<unsigned char> grey(static_cast<size_t>(c.d1) * c.d2);
  const bool read = fread(grey.data(), 1, grey.size(), f) == grey.size();
  fclose(f);
  c.image.assign(grey.begin(), grey.end());
  int32_t levels = 0;
  while ((1 << levels) < std::max(c.d1, c.d2)) {
    ++levels;
  }
  c.params.levels = c.params.flat_levels = levels;
  c.params.start_level = std::min(2, levels - 1);
  return read;
}

// The stages up to grouping; false when the image is one block or memory
// runs short.
bool ordered(seg_context &ctx, const Case &c, std::vector<int32_t> &scratch) {
  ctx = seg_context{};
  set_up_context(ctx, c.image.data(), c.d1, c.d2, c.d3, c.params);
  scratch.assign(c.image.size(), 0);
  ctx.scratch = scratch.data();
  block_table table = nullptr;
  if (build_level_tables(ctx) != SEG_OK || build_initial_blocks(ctx, table) != SEG_OK) {
    seg_free(table);
    return false;
  }
  merge_blocks(ctx, table);
  const bool one = ctx.blocks[table[0]].next_block == 0;
  const bool ok =
      !one && split_blocks(ctx, table) == SEG_OK && order_region_list(ctx, table) == SEG_OK;
  seg_free(table);
  return ok;
}

void release(seg_context &ctx) {
  release_records(ctx);
  release_tables(ctx);
}

// One entry a growth resolved: the region its cell held, the live region
// it resolved to, and the growing region's statistics then.
struct Read {
  uint32_t entry;
  region_id root;
  int64_t stat_a;
  int32_t stat_b;
};

struct Growth {
  region_id r;
  size_t start, end; // its reads: reads[start .. end)
  double began;      // CPU seconds at its start
  double seconds;    // its time, observed
};

// The pass as the observer saw it.  Reads are numbered in the order they
// came; an absorption is numbered by the reads before it.
struct Record {
  std::vector<Growth> growths;
  std::vector<Read> reads;
  std::vector<region_id> absorber; // by region; 0: never absorbed
  std::vector<size_t> taken_at;    // the reads before its absorption
  std::vector<size_t> taken_by;    // the growth that took it
};

void end_growth(Record &rec) {
  if (!rec.growths.empty()) {
    rec.growths.back().seconds = thread_seconds() - rec.growths.back().began;
    rec.growths.back().end = rec.reads.size();
  }
}

void note_growth(void *data, region_id r) {
  Record &rec = *static_cast<Record *>(data);
  end_growth(rec);
  rec.growths.push_back(Growth{r, rec.reads.size(), rec.reads.size(), thread_seconds(), 0});
}

void note_read(void *data, uint32_t entry, region_id n, const region_hot &r) {
  static_cast<Record *>(data)->reads.push_back(Read{entry, n, r.stat_a, r.stat_b});
}

void note_absorb(void *data, region_id n) {
  Record &rec = *static_cast<Record *>(data);
  rec.absorber[n] = rec.growths.back().r;
  rec.taken_at[n] = rec.reads.size();
  rec.taken_by[n] = rec.growths.size() - 1;
}

const size_t never = SIZE_MAX;

struct Analysis {
  const Record &rec;
  const seg_context &ctx;
  std::vector<region_hot> initial; // the statistics as the pass found them
  std::vector<size_t> growth_of;   // by region: its growth, or never
  double work = 0;

  // The live region of an entry for growth own speculated as growth from
  // starts: the absorptions of the growths before that one, and its own
  // before read i.
  region_id spec_root(region_id e, size_t from, size_t own, size_t i) const {
    while (rec.taken_by[e] != never &&
           (rec.taken_by[e] < from || (rec.taken_by[e] == own && rec.taken_at[e] <= i))) {
      e = rec.absorber[e];
    }
    return e;
  }

  // Whether growth k, with its statistics as they were at read x, takes q.
  bool takes(const Read &x, region_id q) const {
    seg_context judge = {};
    judge.criterion = ctx.criterion;
    judge.threshold = ctx.threshold;
    region_hot pair[3] = {};
    pair[1].stat_a = x.stat_a;
    pair[1].stat_b = x.stat_b;
    pair[2] = initial[q];
    pair[2].mark = 0;
    judge.regions.hot = pair;
    judge.regions.stamp = 1;
    return may_join(judge, 1, 2);
  }

  // The first read of growth k that a speculation made as growth from
  // starts gets wrong (its end when none).
  size_t first_conflict(size_t k, size_t from) const {
    const Growth &g = rec.growths[k];
    for (size_t i = g.start; i < g.end; ++i) {
      const Read &x = rec.reads[i];
      const region_id q = spec_root(x.entry, from, k, i);
      if (q != x.root && q > g.r && takes(x, q)) {
        return i;
      }
    }
    return g.end;
  }

  double weight(size_t k) const {
    return static_cast<double>(rec.growths[k].end - rec.growths[k].start);
  }
};

void report(const Case &c, double plain_seconds, const Record &rec, const Analysis &a) {
  const std::vector<Growth> &gs = rec.growths;
  const size_t n = gs.size();
  std::vector<size_t> by_work(n);
  for (size_t k = 0; k < n; ++k) {
    by_work[k] = k;
  }
  std::sort(by_work.begin(), by_work.end(),
            [&](size_t x, size_t y) { return a.weight(x) > a.weight(y); });
  double observed = 0;
  for (const Growth &g : gs) {
    observed += g.seconds;
  }
  double top_work = 0, top_time = 0;
  for (size_t i = 0; i < 5 && i < n; ++i) {
    top_work += a.weight(by_work[i]);
    top_time += gs[by_work[i]].seconds;
  }
  printf("%s: %u regions, %zu growths, %.0f entries resolved; sequential pass %.1f ms\n",
         c.name.c_str(), a.ctx.regions.count, n, a.work, 1e3 * plain_seconds);
  printf("  largest growth %.1f %% of the work (%.1f %% of the observed time), five largest "
         "%.1f %% (%.1f %%)\n",
         100 * a.weight(by_work[0]) / a.work, 100 * gs[by_work[0]].seconds / observed,
         100 * top_work / a.work, 100 * top_time / observed);

  // Dependences: growth k on the growth that took a region one of k's
  // entries passes, when k would have taken it.
  std::vector<std::vector<size_t>> deps(n);
  for (size_t k = 0; k < n; ++k) {
    for (size_t i = gs[k].start; i < gs[k].end; ++i) {
      const Read &x = rec.reads[i];
      for (region_id q = x.entry; rec.taken_by[q] != never && rec.taken_by[q] < k;
           q = rec.absorber[q]) {
        if (q > gs[k].r && a.takes(x, q)) {
          deps[k].push_back(rec.taken_by[q]);
        }
      }
    }
    std::sort(deps[k].begin(), deps[k].end());
    deps[k].erase(std::unique(deps[k].begin(), deps[k].end()), deps[k].end());
  }
  std::vector<double> chain(n);
  double heaviest = 0;
  for (size_t k = 0; k < n; ++k) {
    double before = 0;
    for (size_t d : deps[k]) {
      before = std::max(before, chain[d]);
    }
    chain[k] = before + a.weight(k);
    heaviest = std::max(heaviest, chain[k]);
  }
  printf("  heaviest chain of dependent growths %.1f %% of the work (at most %.2fx)",
         100 * heaviest / a.work, a.work / heaviest);
  for (int threads : {2, 4}) {
    std::vector<double> done(n), free_at(static_cast<size_t>(threads), 0.0);
    double end = 0;
    for (size_t k = 0; k < n; ++k) {
      const size_t t =
          static_cast<size_t>(std::min_element(free_at.begin(), free_at.end()) - free_at.begin());
      double start = free_at[t];
      for (size_t d : deps[k]) {
        start = std::max(start, done[d]);
      }
      done[k] = start + a.weight(k);
      free_at[t] = done[k];
      end = std::max(end, done[k]);
    }
    printf("; %d threads in list order at best %.2fx", threads, a.work / end);
  }
  printf("\n");
  // Any growth whose dependences are done, the earliest in the list first,
  // on each thread as it comes free (their results still taken in list
  // order): what growing portions far apart in the list could reach.
  std::vector<size_t> waiting(n);
  std::vector<std::vector<size_t>> after(n);
  for (size_t k = 0; k < n; ++k) {
    waiting[k] = deps[k].size();
    for (size_t d : deps[k]) {
      after[d].push_back(k);
    }
  }
  printf("  out of list order at best:");
  for (int threads : {2, 4}) {
    std::vector<size_t> left = waiting;
    std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> ready;
    for (size_t k = 0; k < n; ++k) {
      if (left[k] == 0) {
        ready.push(k);
      }
    }
    typedef std::pair<double, size_t> finish;
    std::priority_queue<finish, std::vector<finish>, std::greater<finish>> running;
    double now = 0;
    int idle = threads;
    while (!ready.empty() || !running.empty()) {
      for (; idle > 0 && !ready.empty(); --idle) {
        running.push(finish{now + a.weight(ready.top()), ready.top()});
        ready.pop();
      }
      const finish f = running.top();
      running.pop();
      now = f.first;
      ++idle;
      for (size_t m : after[f.second]) {
        if (--left[m] == 0) {
          ready.push(m);
        }
      }
    }
    printf(" %d threads %.2fx;", threads, a.work / now);
  }
  printf("\n");

  // Two threads: the caller grows in list order; a helper speculates the
  // growths from d past the caller's on, against the state as it stands,
  // at 1.25 times the cost of growing (its reads go through a record of
  // its own); the caller takes a speculation that is finished and right
  // for a quarter of the growth's cost, else grows the region itself.
  printf("  caller and one helper d ahead (helper 1.25x, taking 0.25x):");
  for (size_t d : {1, 16, 256, 4096}) {
    std::vector<double> ready_at(n, -1);
    std::vector<bool> right(n, false);
    double caller = 0, helper = 0;
    size_t next = d;
    for (size_t f = 0; f < n; ++f) {
      for (; helper <= caller && next < n; ++next) {
        next = std::max(next, f + d);
        if (next >= n) {
          break;
        }
        helper += 1.25 * a.weight(next);
        ready_at[next] = helper;
        right[next] = a.first_conflict(next, f) == gs[next].end;
      }
      const bool taken = ready_at[f] >= 0 && ready_at[f] <= caller && right[f];
      caller += (taken ? 0.25 : 1.0) * a.weight(f);
    }
    printf(" d %zu %.2fx;", d, a.work / caller);
  }
  printf("\n");

  // A speculation at its own turn is the pass itself: a check of the
  // record and of the test above.
  for (size_t k = 0; k < n; ++k) {
    if (a.first_conflict(k, k) != gs[k].end) {
      printf("  error: growth %zu of region %u differs from itself\n", k, gs[k].r);
      break;
    }
  }
  printf("  %-22s %10s %10s %12s %10s\n", "speculation", "invalid", "of work", "before 1st",
         "thrown");
  for (size_t w : {2, 4, 8, 32, 128, 512}) {
    size_t invalid = 0, thrown = 0;
    double invalid_work = 0, kept = 0;
    for (size_t first = 0; first < n; first += w) {
      const size_t last = std::min(n, first + w);
      for (size_t k = first; k < last; ++k) {
        const size_t stop = a.first_conflict(k, first);
        kept += static_cast<double>(stop - gs[k].start);
        if (stop != gs[k].end) {
          ++invalid;
          invalid_work += a.weight(k);
        }
      }
      for (region_id r = gs[first].r + 1; r < gs[last - 1].r; ++r) {
        thrown += a.growth_of[r] == never && rec.taken_by[r] >= first ? 1 : 0;
      }
    }
    printf("  window of %-12zu %9.1f%% %9.1f%% %11.1f%% %10zu\n", w, 100.0 * invalid / n,
           100 * invalid_work / a.work, 100 * kept / a.work, thrown);
  }
  for (size_t d : {1, 2, 8, 64, 512}) {
    size_t invalid = 0;
    double invalid_work = 0, kept = 0;
    for (size_t k = 0; k < n; ++k) {
      const size_t stop = a.first_conflict(k, k >= d ? k - d : 0);
      kept += static_cast<double>(stop - gs[k].start);
      if (stop != gs[k].end) {
        ++invalid;
        invalid_work += a.weight(k);
      }
    }
    printf("  look-ahead of %-8zu %9.1f%% %9.1f%% %11.1f%%\n", d, 100.0 * invalid / n,
           100 * invalid_work / a.work, 100 * kept / a.work);
  }
}

int run(const Case &c) {
  std::vector<int32_t> scratch;
  seg_context ctx;
  double plain = 0;
  if (!ordered(ctx, c, scratch)) {
    fprintf(stderr, "%s: one block, or out of memory\n", c.name.c_str());
    release(ctx);
    return 1;
  }
  {
    const quiet_stdout quiet;
    const double t0 = thread_seconds();
    group_sequential(ctx);
    plain = thread_seconds() - t0;
  }
  release(ctx);

  if (!ordered(ctx, c, scratch)) {
    release(ctx);
    return 1;
  }
  const region_id count = ctx.regions.count;
  Record rec;
  rec.absorber.assign(count + 1, 0);
  rec.taken_at.assign(count + 1, never);
  rec.taken_by.assign(count + 1, never);
  Analysis a{
      rec, ctx, std::vector<region_hot>(ctx.regions.hot, ctx.regions.hot + count + 1), {}, 0};
  const grouping_observer observer{&rec, note_growth, note_read, note_absorb};
  {
    const quiet_stdout quiet;
    group_sequential_observed(ctx, observer);
  }
  end_growth(rec);
  a.growth_of.assign(count + 1, never);
  for (size_t k = 0; k < rec.growths.size(); ++k) {
    a.growth_of[rec.growths[k].r] = k;
    a.work += a.weight(k);
  }
  if (rec.growths.empty() || a.work == 0) {
    printf("%s: nothing grows\n", c.name.c_str());
  } else {
    report(c, plain, rec, a);
  }
  release(ctx);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<std::string> cases(argv + 1, argv + argc);
  if (cases.empty()) {
    cases = {"bn64", "blobs64"};
  }
  int status = 0;
  for (const std::string &arg : cases) {
    Case c;
    if (!make_case(arg, c)) {
      fprintf(stderr, "%s: not a case (bn64, bn128, bn256, blobs64, blobs128, FILE.u8:D1:D2)\n",
              arg.c_str());
      status = 2;
      continue;
    }
    status = std::max(status, run(c));
    fflush(stdout);
  }
  return status;
}
