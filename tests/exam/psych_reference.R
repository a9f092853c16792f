# The item analysis of a scored exam by R's psych package: the outside
# reference of tests/exam/test_exam_project.py. Reads the CSV the test writes
# (a row per sheet: number, version, total as the student gets it, then per
# item that is not void x<m>, its points, and u<m>, 1 when answered right)
# and prints group,item,figure,value (group "all" or a version; item 0 for
# the test's figures). The correlations, two psych::alpha runs an item, are
# computed over all versions only.
suppressPackageStartupMessages(library(psych))

quiet <- function(expr) suppressWarnings(suppressMessages(expr))

args <- commandArgs(trailingOnly = TRUE)
data <- read.csv(args[1], colClasses = c(version = "character"))
rows <- list()
add <- function(group, item, figure, value) {
  rows[[length(rows) + 1]] <<- data.frame(group = group, item = item, figure = figure, value = value)
}

analyse <- function(group, d, correlations) {
  rownames(d) <- NULL  # psych::alpha on two columns stumbles over the row names of a subset
  x <- as.matrix(d[, grep("^x", names(d))])
  u <- as.matrix(d[, grep("^u", names(d))])
  X <- rowSums(x)
  n <- nrow(d)
  # psych::alpha leaves out the items without variance (the bonus item).
  a <- quiet(psych::alpha(x, warnings = FALSE))
  alpha <- a$total$raw_alpha
  totals <- psych::describe(d$total)
  add(group, 0, "alpha", alpha)
  add(group, 0, "alpha_items", nrow(a$alpha.drop))
  add(group, 0, "mean", totals$mean)
  add(group, 0, "sd", totals$sd)
  add(group, 0, "sem", totals$sd * sqrt(1 - alpha))
  # The upper and lower 27 %: by the sum of item points, ties by sheet number.
  g <- (27 * n + 99) %/% 100
  rank <- order(-X, d$number)
  upper <- rank[1:g]
  lower <- rank[(n - g + 1):n]
  for (j in seq_len(ncol(u))) {
    item <- as.integer(sub("^u", "", colnames(u)[j]))
    uj <- u[, j]
    add(group, item, "p", mean(uj))
    add(group, item, "d", mean(uj[upper]) - mean(uj[lower]))
    if (correlations && sd(uj) > 0) {
      # r.drop of u in the scale (u, the rest of the points) is the corrected
      # item-rest correlation of right/wrong; raw.r of u in (u, X - u) the
      # item-total one.
      rest <- quiet(psych::alpha(cbind(u = uj, rest = X - x[, j]), warnings = FALSE))
      add(group, item, "r", rest$item.stats["u", "r.drop"])
      whole <- quiet(psych::alpha(cbind(u = uj, other = X - uj), warnings = FALSE))
      add(group, item, "point_biserial", whole$item.stats["u", "raw.r"])
    }
    name <- paste0("x", item)
    if (name %in% rownames(a$alpha.drop)) add(group, item, "alpha_if_deleted", a$alpha.drop[name, "raw_alpha"])
  }
}

analyse("all", data, TRUE)
for (v in sort(unique(data$version))) analyse(v, data[data$version == v, ], FALSE)
write.csv(do.call(rbind, rows), stdout(), row.names = FALSE)
