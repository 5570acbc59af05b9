local Counter = {}
Counter.__index = Counter
function Counter:bump(k) self.n = self.n + k end
counter = setmetatable({n = 0}, Counter)
for _ = 1, 3000000 do counter:bump(1) end
print(counter.n)
