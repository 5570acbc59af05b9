chunk = "jzde8gx,d6ncf10epf9,dhodzdoc,is0j8ht9lg,mxg9edn581u,3xtplpft7,v2seh60kv,50ce,uvw53efr4e,t2,ywb3wk,h5dnsipzz5f,"
text = chunk * 91000
print(len(text.replace("dhodzdoc", "replacement")))
