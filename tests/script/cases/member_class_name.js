// A member named like a registered class reads as that class, whichever
// way the object is reached: through a variable, an element or a property.
var o = {"JSON": 2, "Date": 3, "x": 4};
print(o.JSON);
var a = [o];
print(a[0].JSON);
var h = {"k": o};
print(h.k.JSON, h.k.Date, h.k.x);
print(o.x, a[0].x);
// Element access with a string index is the object's own lookup.
print(o["JSON"]);
