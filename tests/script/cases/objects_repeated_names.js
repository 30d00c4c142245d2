// A repeated name keeps the place of its first use and takes the last value,
// in a short literal and in one long enough to index its names.
print(JSON.stringify({"a": 1, "b": 2, "a": 3, "c": 4, "b": 5}));
print(JSON.stringify({"k0": 0, "k1": 1, "k2": 2, "k3": 3, "k4": 4, "k5": 5, "k6": 6, "k7": 7, "k8": 8, "k9": 9, "k10": 10, "k11": 11, "k12": 12, "k13": 13, "k14": 14, "k15": 15, "k16": 16, "k17": 17, "k18": 18, "k19": 19, "k3": "three", "k19": "last", "k0": "first", "k20": 20}));
