var c = 'abc'[0];
