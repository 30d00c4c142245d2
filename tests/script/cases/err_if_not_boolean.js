print('before');
if (1) { print('never'); }
