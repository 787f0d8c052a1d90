#!/usr/bin/env python3
"""Writes the block-list benchmark's inputs into a folder, always the same
for the same seed:

  easylist.txt   ~85,000 `||domain^` filters (some with $third-party or
                 $important), ~20% other filter kinds the matcher skips,
                 1,500 `@@||domain^` exceptions, comments and a header
  hosts.txt      130,000 lines: the usual loopback header, comments, and
                 `0.0.0.0 name` lines (some with two names or a comment)
  hits.txt       hosts that must be blocked
  misses.txt     hosts that must not be
  deep_hits.txt  hits five to eight labels below a listed domain
  deep_misses.txt  as deep, under domains that are not listed

Usage: make_lists.py FOLDER [--seed N]
"""
import argparse
import os
import random

SYLLABLES = ("ad an ar ba be bi bo ca ce co cu da de di do du el en er fa fe fi fo ga ge go "
             "ha he hi ho in is ka ke ki ko la le li lo lu ma me mi mo mu na ne ni no nu "
             "or pa pe pi po pu ra re ri ro ru sa se si so su ta te ti to tu va ve vi vo "
             "xa ya yo za ze zo trk pix met ric lytic sync tag").split()
TLDS = (["com"] * 40 + ["net"] * 12 + ["org"] * 6 + ["io"] * 4 + ["de"] * 4 + ["co.uk"] * 3 +
        ["ru"] * 3 + ["info"] * 2 + ["xyz"] * 2 + ["fr", "jp", "com.br", "nl", "pl", "it", "es",
                                                    "cn", "in", "me", "tv", "us", "biz", "eu"])
PREFIXES = ("ads ad track tracker pixel px cdn static stats metrics analytics t s1 s2 img "
            "banner banners tag tags sync log collect beacon srv eu us api click").split()


def word(rng, low=2, high=4):
    return "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(low, high)))


def domain(rng):
    name = word(rng)
    if rng.random() < 0.15:
        name += "-" + word(rng, 1, 2)
    if rng.random() < 0.1:
        name += str(rng.randint(1, 99))
    return name + "." + rng.choice(TLDS)


def host(rng):
    base = domain(rng)
    depth = rng.choices([0, 1, 2, 3], weights=[25, 50, 20, 5])[0]
    labels = [rng.choice(PREFIXES) if rng.random() < 0.7 else word(rng, 1, 3) for _ in range(depth)]
    return ".".join(labels + [base])


def unique(rng, make, count, taken):
    out = []
    while len(out) < count:
        name = make(rng)
        if name not in taken:
            taken.add(name)
            out.append(name)
    return out


def other_filter(rng, names):
    kind = rng.randrange(8)
    d = rng.choice(names)
    cls = word(rng, 1, 3)
    if kind == 0:
        return "##." + cls + "-" + word(rng, 1, 2)
    if kind == 1:
        return d + "##." + cls
    if kind == 2:
        return "||" + d + "/" + word(rng) + "/*"
    if kind == 3:
        return "||" + d + "^$script,third-party"
    if kind == 4:
        return "/" + word(rng) + "[0-9]+\\.(gif|png)/"
    if kind == 5:
        return "-" + word(rng, 1, 2) + "-banner."
    if kind == 6:
        return "||" + d + "^$domain=" + rng.choice(names)
    return d + "#@#." + cls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--seed", type=int, default=20240611)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    os.makedirs(args.folder, exist_ok=True)
    taken = set()

    filter_domains = unique(rng, host, 85000, taken)
    hosts_names = unique(rng, host, 140000, taken)
    miss_names = unique(rng, host, 100000, taken)
    # Exceptions: subdomains of listed domains, which then are no hits.
    excepted = set()
    exceptions = []
    for d in rng.sample(filter_domains, 1500):
        e = rng.choice(["cdn", "static", "img", "api"]) + "." + d
        excepted.add(e)
        exceptions.append(e)

    lines = ["[Adblock Plus 2.0]", "! Title: generated benchmark list", "! Expires: 4 days", "!"]
    others = 0
    for i, d in enumerate(filter_domains):
        if i % 1000 == 0:
            lines.append("! ---- section %d ----" % (i // 1000))
        option = rng.random()
        lines.append("||" + d + ("^$third-party" if option < 0.1 else "^$important" if option < 0.12 else "^"))
        # About one filter in five of the file is of another kind.
        while rng.random() < 0.2:
            lines.append(other_filter(rng, filter_domains))
            others += 1
    for e in exceptions:
        lines.insert(rng.randrange(4, len(lines)), "@@||" + e + "^")
    with open(os.path.join(args.folder, "easylist.txt"), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")

    hosts = ["# generated benchmark hosts file", "127.0.0.1 localhost", "127.0.0.1 localhost.localdomain",
             "255.255.255.255 broadcasthost", "::1 localhost ip6-localhost ip6-loopback", "0.0.0.0 0.0.0.0", ""]
    at = 0
    while len(hosts) < 130000 and at < len(hosts_names):
        r = rng.random()
        if r < 0.01:
            hosts.append("# " + word(rng) + " " + word(rng))
        elif r < 0.05 and at + 1 < len(hosts_names):
            hosts.append("0.0.0.0 %s %s" % (hosts_names[at], hosts_names[at + 1]))
            at += 2
        elif r < 0.08:
            hosts.append("127.0.0.1 %s # %s" % (hosts_names[at], word(rng)))
            at += 1
        else:
            hosts.append("0.0.0.0 " + hosts_names[at])
            at += 1
    listed_hosts = hosts_names[:at]
    with open(os.path.join(args.folder, "hosts.txt"), "w", newline="\n") as f:
        f.write("\n".join(hosts) + "\n")

    # Generated names may share a base domain, so the query files keep
    # only names whose answer the rules settle one way.
    filter_set = set(filter_domains)
    exact_set = set(listed_hosts)

    def suffixes(name):
        parts = name.split(".")
        return [".".join(parts[i:]) for i in range(len(parts))]

    def blocked(name):
        if any(s in excepted for s in suffixes(name)):
            return False
        return name in exact_set or any(s in filter_set for s in suffixes(name))

    def deeper(d):
        return ".".join(word(rng, 1, 2) for _ in range(rng.randint(5, 8))) + "." + d

    hits = rng.sample(listed_hosts, 50000) + ["www." + d for d in rng.sample(filter_domains, 50000)]
    hits = [h for h in hits if blocked(h)]
    rng.shuffle(hits)
    miss_names = [m for m in miss_names if not blocked(m)]
    deep_hits = [h for h in (deeper(d) for d in rng.sample(filter_domains, 50000)) if blocked(h)]
    deep_misses = [m for m in (deeper(d) for d in rng.sample(miss_names, 50000)) if not blocked(m)]
    for name, items in (("hits", hits), ("misses", miss_names), ("deep_hits", deep_hits),
                        ("deep_misses", deep_misses)):
        with open(os.path.join(args.folder, name + ".txt"), "w", newline="\n") as f:
            f.write("\n".join(items) + "\n")
    print("easylist.txt: %d lines (%d domain filters, %d other filters, %d exceptions); "
          "hosts.txt: %d lines (%d names)" % (len(lines), len(filter_domains), others, len(exceptions),
                                              len(hosts), len(listed_hosts)))


if __name__ == "__main__":
    main()
