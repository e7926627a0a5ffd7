254:0 uuid mpath-36001405f1e2d3c4b5a69788796a5b4c3
254:0 table 1 queue_if_no_path 0 1 1 service-time 0 2 2 8:16 1 1 8:32 1 1
254:0 status 2 0 0 0 1 1 A 0 2 2 8:16 A 0 0 1 8:32 F 2 0 1
