"""A plain model of the HNSW build (levels, insertions, connectivity repair) over
integer-valued vectors, whose dot products are exact: the index arrays it returns are
the ones a one-thread build must return bit for bit.

Candidates are (score, node); a higher score is better and equal scores go to the lower
node, which `rank` turns into a sort key."""
import heapq
import math

import numpy as np

from conftest import M64, mix

G = 0x9E3779B97F4A7C15
PASSES, HOSTS = 8, 16


def draw_level(seed, i, r):
    z = mix(((seed ^ ((i * G) & M64)) + G) & M64)
    u = ((z >> 11) + 1) * 2.0 ** -53
    return min(int(-(math.log(u) * r)), 32)


def rank(c):
    """Sort key, best first."""
    return (-c[0], c[1])


def worse(a, b):
    return rank(a) > rank(b)


class Model:
    def __init__(self, vectors, m, ef, seed):
        x = [[int(v) for v in row] for row in vectors]
        self.sim = [[sum(a * b for a, b in zip(p, q)) for q in x] for p in x]
        self.n, self.m, self.ef = len(x), m, ef
        r = 1.0 / math.log(max(m, 2))
        self.level = [draw_level(seed, i, r) for i in range(self.n)]
        self.lists = {(i, l): [] for i in range(self.n) for l in range(self.level[i] + 1)}
        self.passes = 0  # passes whose linking ran

    def neighbours(self, v, level):
        return list(self.lists.get((v, level), []))

    def cap(self, level):
        return self.m if level else 2 * self.m

    def build(self):
        if self.n == 0:
            return self.freeze(-1)
        order = sorted(range(self.n), key=lambda i: (-self.level[i], i))
        self.entry = order[0]
        self.top = self.level[self.entry]
        for q in order[1:]:
            self.insert(q)
        self.repair()
        return self.freeze(self.entry)

    def descend(self, q, down_to):
        cur, best = self.entry, self.sim[q][self.entry]
        for level in range(self.top, down_to, -1):
            moved = True
            while moved:
                moved = False
                for v in self.neighbours(cur, level):
                    s = self.sim[q][v]
                    if worse((best, cur), (s, v)):
                        cur, best, moved = v, s, True
        return best, cur

    def search(self, q, level, seeds, admit):
        visited, queue, found = set(), [], []  # found: a heap whose root is the worst

        def offer(c):
            heapq.heappush(queue, (rank(c), c))
            if admit(c[1]):
                heapq.heappush(found, (c[0], -c[1]))
                if len(found) > self.ef:
                    heapq.heappop(found)

        def full_and_beats(c):
            return len(found) >= self.ef and worse(c, (found[0][0], -found[0][1]))

        for c in seeds:
            if c[1] not in visited:
                visited.add(c[1])
                offer(c)
        while queue:
            c = heapq.heappop(queue)[1]
            if full_and_beats(c):
                break
            for v in self.neighbours(c[1], level):
                if v in visited:
                    continue
                visited.add(v)
                e = (self.sim[q][v], v)
                if not full_and_beats(e):
                    offer(e)
        return sorted(((s, -i) for s, i in found), key=rank)

    def select(self, candidates, cap):
        kept, dropped = [], []
        for s, c in candidates:
            if len(kept) >= cap:
                break
            (kept if all(self.sim[c][r] < s for r in kept) else dropped).append(c)
        return kept + dropped[:max(0, cap - len(kept))]

    def prune(self, items, owner, cap):
        return self.select(sorted(((self.sim[owner][v], v) for v in items), key=rank), cap)

    def prune_keeping(self, items, owner, keep, cap):
        out = self.prune(items, owner, cap)
        if keep not in out:
            out = out[:-1] + [keep]
        return out

    def append(self, owner, level, v, keep=False):
        items = self.lists[(owner, level)]
        if owner == v or v in items:
            return
        cap = self.cap(level)
        full = len(items) >= cap
        items.append(v)
        if full:
            trim = self.prune_keeping(items, owner, v, cap) if keep else self.prune(items, owner, cap)
            self.lists[(owner, level)] = trim

    def insert(self, q):
        seeds = [self.descend(q, self.level[q])]
        for level in range(self.level[q], -1, -1):
            candidates = self.search(q, level, seeds, lambda v: True)
            cap = self.cap(level)
            chosen = self.select(candidates, cap)
            own = self.lists[(q, level)]
            before = len(own)
            for v in chosen:
                if v != q and v not in own:
                    own.append(v)
            if len(own) > cap and len(own) > before:
                self.lists[(q, level)] = self.prune(own, q, cap)
            for v in chosen:
                if v != q:
                    self.append(v, level, q)
            seeds = candidates

    def mark(self, start, marks):
        marks[start] = True
        stack = [start]
        while stack:
            for v in self.neighbours(stack.pop(), 0):
                if not marks[v]:
                    marks[v] = True
                    stack.append(v)

    def roots(self):
        self.reached = [False] * self.n
        self.mark(self.entry, self.reached)
        working = list(self.reached)
        out = []
        for i in range(self.n):
            if not working[i]:
                out.append(i)
                self.mark(i, working)
        return out

    def repair(self):
        cap = 2 * self.m
        for _ in range(PASSES):
            roots = self.roots()
            if not roots:
                return
            hosts = [self.search(r, 0, [self.descend(r, 0)], lambda v: self.reached[v])[:HOSTS] for r in roots]
            for r, candidates in zip(roots, hosts):
                host = None
                for _, c in candidates:
                    items = self.lists[(c, 0)]
                    if r in items or (c != r and len(items) < cap):
                        if r not in items:
                            items.append(r)
                        host = c
                        break
                if host is None:
                    if not candidates:
                        continue
                    host = candidates[0][1]
                    self.append(host, 0, r, keep=True)
                self.append(r, 0, host, keep=True)
            self.passes += 1

    def freeze(self, entry):
        indptr, indices = [0], []
        for i in range(self.n):
            for level in range(self.level[i] + 1):
                indices += self.lists[(i, level)]
                indptr.append(len(indices))
        return (np.array(self.level, np.int32), np.array(indptr, np.int64), np.array(indices, np.int32), entry)
